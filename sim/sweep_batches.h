#pragma once

#include "sim/sweep_walk.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace veltrano {

// The sweep's frames taken a batch at a time, within a count of frames (0: no end). Frames of a batch that
// could not go yet are taken again by the next batch: the walk resumes after the last frame that went or
// was refused for good.
class SweepBatches final
{
public:
    SweepBatches(std::uint64_t startTick, std::uint64_t count);

    // The next `most` frames of the walk; valid until the next Take.
    std::span<const SweepWalk::Frame> Take(std::uint64_t most);
    // The first `consumed` frames of the last batch are done with; the rest are taken again.
    void Settle(std::size_t consumed);
    // The system took the first `sent` frames of the last batch and refused the next with `error` (0: none
    // refused). Refused for want of buffer space, the frame waits for the next batch; refused for any other
    // reason (an ICMP error the socket reports, say), it is done with and the walk moves past it. The error
    // of a frame refused for good, else 0.
    int Handed(std::size_t sent, int error);
    std::span<const SweepWalk::Frame> Batch() const { return m_batch; }

    // Of `due` frames, those within the count.
    std::uint64_t Within(std::uint64_t due) const;
    // Frames done with: sent, or refused for good.
    std::uint64_t Taken() const { return m_taken; }
    bool AllTaken() const { return m_count != 0 && m_taken >= m_count; }
    std::uint64_t NextTick() const { return m_walk.NextTick(); }

private:
    SweepWalk m_walk;
    SweepWalk m_before; // the walk as the last batch found it
    std::uint64_t m_count{0};
    std::uint64_t m_taken{0};
    std::vector<SweepWalk::Frame> m_batch;
};

} // namespace veltrano
