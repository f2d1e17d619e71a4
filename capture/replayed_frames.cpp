#include "capture/replayed_frames.h"

#include "protocol/frame.h"

#include <cerrno>

namespace veltrano {

ReplayedFrames::ReplayedFrames(Limits limits, OnJudged judged)
    : m_limits(limits), m_judged(std::move(judged)), m_tracker({limits.laneCapacity, {}}),
      m_tally(limits.expectSame, limits.mostFailures)
{}

ReplayedFrames::~ReplayedFrames() = default;

ReplayedFrames::Pending* ReplayedFrames::Find(std::uint64_t id)
{
    if (id < m_firstPending || id - m_firstPending >= m_pending.size())
        return nullptr;
    return &m_pending[id - m_firstPending];
}

const CapturedFrame& ReplayedFrames::Add(CapturedFrame frame)
{
    return m_pending.emplace_back(Pending{std::move(frame), 0, {}, 0, 0, false}).frame;
}

void ReplayedFrames::Sent(std::size_t count, std::size_t handed, int error, MonoTime at, std::int64_t wallUs)
{
    const std::uint64_t first = m_firstPending + m_pending.size() - count;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t id = first + i;
        Pending& pending = *Find(id);
        pending.sentAt = at;
        pending.sentUs = wallUs;
        m_tally.Sent(pending.frame.source, at);
        ++m_frames;
        m_lastSentTimeNs = pending.frame.timeNs;
        const std::size_t lane = pending.frame.sender;
        pending.ticket = m_tracker.Track(m_limits.centre, pending.frame.Bytes(), id, at, lane);
        if (i < handed) {
            m_tracker.Handed(1);
            continue;
        }
        // Not handed over: judged missing, its reason on its line; an answer, should one come, is late.
        m_tracker.Handed(0, 1);
        pending.sendError = error != 0 ? error : EAGAIN;
        m_tracker.Forget(pending.ticket, lane);
        Conclude(id, std::nullopt, at);
    }
}

std::optional<std::uint64_t> ReplayedFrames::Received(std::size_t lane, FrameRecord& record, MonoTime now)
{
    const AckMatcher::Match match = m_tracker.Received(record, now, lane);
    if (match.outcome == AckMatcher::Outcome::Answered)
        return match.id;
    if (match.outcome != AckMatcher::Outcome::BadChecksum)
        return std::nullopt;
    // A panel would discard it, but it answers the frame: one against the rule. The frame waits no longer,
    // so the next such answer judges the next frame of the key.
    Pending* pending = Find(match.id);
    if (pending == nullptr || pending->done) {
        record.note = "bad checksum, no frame waiting";
        return std::nullopt;
    }
    m_tracker.Forget(pending->ticket, lane);
    record.note = "bad checksum";
    return match.id;
}

void ReplayedFrames::Answer(std::uint64_t id, std::span<const std::uint8_t> live, MonoTime now)
{
    Conclude(id, live, now);
}

void ReplayedFrames::Expire(MonoTime now)
{
    // Sent in order, so the oldest waiting is at the front.
    while (!m_pending.empty()) {
        const Pending& front = m_pending.front();
        if (front.done) {
            m_pending.pop_front();
            ++m_firstPending;
            continue;
        }
        if (now - front.sentAt < m_limits.timeout)
            break;
        m_tracker.Forget(front.ticket, front.frame.sender);
        Conclude(m_firstPending, std::nullopt, now);
    }
}

void ReplayedFrames::Conclude(std::uint64_t id, std::optional<std::span<const std::uint8_t>> live,
                              MonoTime now)
{
    Pending* pending = Find(id);
    if (pending == nullptr || pending->done)
        return;
    pending->done = true;
    ++m_judgedCount;
    const CapturedFrame& frame = pending->frame;
    const FrameVerdict verdict = veltrano::Judge(frame.Bytes(), frame.answer, live);
    ++m_verdicts[static_cast<std::size_t>(verdict)];
    if (live)
        ++m_answered;

    m_hexCaptured = frame.answer ? FormatBytesHex(*frame.answer) : std::string();
    m_hexLive = live ? FormatBytesHex(*live) : std::string();
    std::array<RecordField, 4> fields{{{"verdict", VerdictKey(verdict)}, {"capture_frame", frame.number}}};
    std::size_t count = 2;
    if (frame.answer)
        fields[count++] = {"captured_answer", std::string_view(m_hexCaptured)};
    if (live)
        fields[count++] = {"live_answer", std::string_view(m_hexLive)};
    m_judged(Judged{frame, pending->sentUs, pending->sendError, verdict, {fields.data(), count}});

    m_tally.Judged(frame, verdict, live, now);
    while (!m_pending.empty() && m_pending.front().done) {
        m_pending.pop_front();
        ++m_firstPending;
    }
}

bool ReplayedFrames::Failed() const
{
    for (std::size_t i = 0; i < FRAME_VERDICT_COUNT; ++i)
        if (m_verdicts[i] > 0 && Fails(static_cast<FrameVerdict>(i), m_limits.expectSame))
            return true;
    return false;
}

} // namespace veltrano
