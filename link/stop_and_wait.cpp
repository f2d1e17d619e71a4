#include "link/stop_and_wait.h"

namespace veltrano {

StopAndWait::StopAndWait(std::vector<std::vector<std::uint8_t>> frames, Options options)
    : m_frames(std::move(frames)), m_options(options)
{}

std::string_view StopAndWait::Sent(bool handed, MonoTime now)
{
    ++m_attempts;
    m_tracker.Handed(handed ? 1 : 0, handed ? 0 : 1);
    if (m_options.expectAck) {
        // A frame sent again keeps its place and its round trip counts from the last send.
        if (m_attempts == 1 || !m_tracker.Resent(m_ticket, now))
            m_ticket = m_tracker.Track(m_options.peer, Current(), m_index, now);
        m_waiting = true;
    }
    return m_attempts > 1 ? "retry" : "";
}

bool StopAndWait::Received(FrameRecord& record, MonoTime now)
{
    const AckMatcher::Match match = m_tracker.Received(record, now);
    const bool answered = match.outcome == AckMatcher::Outcome::Answered && m_waiting && match.id == m_index;
    if (answered)
        m_waiting = false;
    return answered;
}

bool StopAndWait::TimedOut()
{
    m_waiting = false;
    if (m_attempts <= m_options.retries) {
        ++m_retries;
        return true;
    }
    m_tracker.Forget(m_ticket);
    ++m_missing;
    return false;
}

void StopAndWait::Next()
{
    ++m_index;
    m_attempts = 0;
}

std::vector<RecordField> StopAndWait::SummaryFields(std::uint64_t exitCode) const
{
    const AckTracker::Counts& counts = m_tracker.Totals();
    return {
        {"frames", static_cast<std::uint64_t>(m_frames.size())},
        {"sent", counts.sent},
        {"acknowledged", counts.acknowledged},
        {"missing", m_missing},
        {"retries", m_retries},
        {"bad_acks", counts.badAcks},
        // Here whatever did not acknowledge the frame waiting is unexpected, a repeat or late answer too.
        {"unexpected", counts.unexpected + counts.noFrameWaiting},
        {"send_failed", counts.sendFailed},
        {"rtt_p50_us", static_cast<std::uint64_t>(m_tracker.Trips().Percentile(0.5))},
        {"rtt_max_us", static_cast<std::uint64_t>(m_tracker.Trips().Max())},
        {"exit", exitCode},
    };
}

} // namespace veltrano
