#include "capture/replayed_frames.h"

#include "protocol/frame.h"

#include <algorithm>
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
    Pending& pending = m_pending.emplace_back();
    pending.frame = std::move(frame);
    return pending.frame;
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
    // Sent in order, so the oldest waiting is the first not done. A verdict handed over at once drops the
    // judged front, so the walk goes on from the first still kept.
    for (std::uint64_t id = m_firstPending; Find(id) != nullptr; id = std::max(id + 1, m_firstPending)) {
        const Pending& pending = *Find(id);
        if (pending.done)
            continue;
        if (now - pending.sentAt < m_limits.timeout)
            break;
        m_tracker.Forget(pending.ticket, pending.frame.sender);
        Conclude(id, std::nullopt, now);
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
    pending->verdict = veltrano::Judge(frame.Bytes(), frame.answer, live);
    ++m_verdicts[static_cast<std::size_t>(pending->verdict)];
    m_tally.Judged(frame, pending->verdict, live, now);
    if (!live) {
        pending->live.reset();
    } else {
        ++m_answered;
        pending->live = std::pair{m_liveBytes.size(), live->size()};
        m_liveBytes.insert(m_liveBytes.end(), live->begin(), live->end());
    }
    m_held.push_back(id);
    if (!m_holding)
        ReleaseAll();
}

void ReplayedFrames::HandOver(std::uint64_t id)
{
    const Pending& pending = *Find(id);
    const CapturedFrame& frame = pending.frame;
    m_hexCaptured = frame.answer ? FormatBytesHex(*frame.answer) : std::string();
    m_hexLive = pending.live ? FormatBytesHex(std::span(m_liveBytes).subspan(pending.live->first,
                                                                              pending.live->second))
                             : std::string();
    std::array<RecordField, 4> fields{
        {{"verdict", VerdictKey(pending.verdict)}, {"capture_frame", frame.number}}};
    std::size_t count = 2;
    if (frame.answer)
        fields[count++] = {"captured_answer", std::string_view(m_hexCaptured)};
    if (pending.live)
        fields[count++] = {"live_answer", std::string_view(m_hexLive)};
    m_judged(Judged{frame, pending.sentUs, pending.sendError, pending.verdict, {fields.data(), count}});
}

void ReplayedFrames::Release(std::size_t upTo)
{
    for (; m_released < std::min(upTo, m_held.size()); ++m_released)
        HandOver(m_held[m_released]);
}

void ReplayedFrames::ReleaseAll()
{
    Release(m_held.size());
    m_holding = false;
    m_held.clear();
    m_released = 0;
    m_liveBytes.clear();
    DropJudgedFront();
}

void ReplayedFrames::DropJudgedFront()
{
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
