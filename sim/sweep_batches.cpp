#include "sim/sweep_batches.h"

#include <algorithm>
#include <cerrno>

namespace veltrano {

SweepBatches::SweepBatches(std::uint64_t startTick, std::uint64_t count)
    : m_walk(startTick), m_before(startTick), m_count(count)
{}

std::span<const SweepWalk::Frame> SweepBatches::Take(std::uint64_t most)
{
    m_before = m_walk;
    m_batch.clear();
    for (std::uint64_t i = 0; i < most; ++i)
        m_batch.push_back(m_walk.Next());
    return m_batch;
}

void SweepBatches::Settle(std::size_t consumed)
{
    consumed = std::min(consumed, m_batch.size());
    m_taken += consumed;
    if (consumed == m_batch.size())
        return;
    m_walk = m_before;
    for (std::size_t i = 0; i < consumed; ++i)
        m_walk.Next();
}

int SweepBatches::Handed(std::size_t sent, int error)
{
    const bool forGood = error != 0 && error != EAGAIN && error != EWOULDBLOCK && error != ENOBUFS;
    Settle(sent + (forGood ? 1 : 0));
    return forGood ? error : 0;
}

std::uint64_t SweepBatches::Within(std::uint64_t due) const
{
    return m_count != 0 ? std::min(due, m_count - std::min(m_taken, m_count)) : due;
}

} // namespace veltrano
