#include "capture/replay_feed.h"

namespace veltrano {

ReplayFeed::ReplayFeed(CapturedExchange& exchange, ReplayedFrames& frames, Pacer::Mode mode, TimePoint start)
    : m_exchange(exchange), m_frames(frames), m_mode(mode), m_pacer(mode, start)
{}

void ReplayFeed::Restart(TimePoint start)
{
    m_pacer = Pacer(m_mode, start);
}

void ReplayFeed::ReachEnd()
{
    if (auto end = m_exchange.Next(); !end)
        m_cut = end.error();
    m_allRead = true;
}

std::uint64_t ReplayFeed::Room(TimePoint now)
{
    return m_allRead ? 0 : m_pacer.MayGo(now, m_frames.Frames(), m_frames.Outstanding());
}

std::optional<std::size_t> ReplayFeed::TakeRun(TimePoint now, std::uint64_t most, bool onlyDue,
                                               std::vector<std::span<const std::uint8_t>>& run)
{
    run.clear();
    std::optional<std::size_t> sender;
    while (run.size() < most && !m_allRead) {
        const CapturedFrame* next = m_exchange.Peek();
        if (next == nullptr) {
            ReachEnd();
            break;
        }
        // The frames of this run count as sent already.
        const std::uint64_t sent = m_frames.Frames() + run.size();
        if (onlyDue && m_pacer.MayGo(now, sent, m_frames.Outstanding(), next->timeNs) == 0)
            break;
        if (sender && *sender != next->sender)
            break;
        sender = next->sender;
        run.push_back(m_frames.Add(std::move(**m_exchange.Next())).Bytes());
    }
    return sender;
}

std::optional<std::chrono::milliseconds> ReplayFeed::WaitFrom(TimePoint now)
{
    const CapturedFrame* next = m_allRead ? nullptr : m_exchange.Peek();
    if (next == nullptr) {
        if (!m_allRead)
            ReachEnd();
        return std::nullopt;
    }
    return m_pacer.WaitFrom(now, m_frames.Frames(), next->timeNs);
}

} // namespace veltrano
