#include "capture/captured_exchange.h"

#include <algorithm>

namespace veltrano {

namespace {

// Frames of one sender waiting for their captured answer; the look-ahead bounds how many there are.
constexpr std::size_t MATCHER_CAPACITY = 512;

MonoTime CaptureTime(std::int64_t timeNs)
{
    return MonoTime(std::chrono::duration_cast<MonoClock::duration>(std::chrono::nanoseconds(timeNs)));
}

} // namespace

CapturedExchange::CapturedExchange(CaptureReader& reader, Limits limits)
    : m_reader(reader), m_limits(limits)
{
    m_limits.senders = std::max<std::size_t>(m_limits.senders, 1);
    m_limits.mostAhead = std::max<std::size_t>(m_limits.mostAhead, 1);
}

CapturedExchange::~CapturedExchange() = default;

AckMatcher& CapturedExchange::MatcherOf(std::size_t sender)
{
    if (m_matchers.size() <= sender)
        m_matchers.resize(sender + 1);
    if (!m_matchers[sender])
        m_matchers[sender] = std::make_unique<AckMatcher>(AckMatcher::Limits{MATCHER_CAPACITY, {}});
    return *m_matchers[sender];
}

bool CapturedExchange::FrontReady() const
{
    if (m_ahead.empty())
        return false;
    return (m_ended && !m_held) || m_ahead.size() > m_limits.mostAhead ||
           (m_held && m_held->timeNs - m_ahead.front().timeNs > m_limits.lookAhead.count());
}

void CapturedExchange::ReadOne()
{
    // A record past the front's look-ahead waits until the front has gone: an answer that late is none.
    if (m_held) {
        const CapturedFrame held = *m_held;
        m_held.reset();
        Take({held.number, held.timeNs, held.source, held.destination, held.Bytes()});
        return;
    }
    auto next = m_reader.Next();
    if (!next) {
        m_error = next.error();
        m_ended = true;
        return;
    }
    if (!*next) {
        m_ended = true;
        return;
    }
    const CaptureDatagram& datagram = **next;
    if (!m_ahead.empty() && datagram.timeNs - m_ahead.front().timeNs > m_limits.lookAhead.count()) {
        CapturedFrame& held = m_held.emplace();
        held.number = datagram.number;
        held.timeNs = datagram.timeNs;
        held.source = datagram.source;
        held.destination = datagram.destination;
        held.size = datagram.payload.size();
        std::copy(datagram.payload.begin(), datagram.payload.end(), held.storage.begin());
        return;
    }
    Take(datagram);
}

void CapturedExchange::Take(const CaptureDatagram& datagram)
{
    if (IsAcknowledgement(datagram.payload)) {
        ++m_answers;
        const auto source = m_sources.find(datagram.destination);
        if (source == m_sources.end())
            return;
        AckMatcher& matcher = MatcherOf(source->second);
        const auto match = matcher.Received(datagram.source, datagram.payload, CaptureTime(datagram.timeNs));
        // A bad checksum still is the answer the capture had: the verdict shows it.
        const bool paired = match.outcome == AckMatcher::Outcome::Answered ||
                            match.outcome == AckMatcher::Outcome::BadChecksum;
        if (!paired || match.id < m_firstId || match.id >= m_nextId)
            return;
        CapturedFrame& frame = m_ahead[match.id - m_firstId];
        if (frame.source != datagram.destination || frame.answer)
            return; // another source behind the same sender
        AckFrame answer{};
        std::copy_n(datagram.payload.begin(), std::min(answer.size(), datagram.payload.size()), answer.begin());
        frame.answer = answer;
        if (match.outcome == AckMatcher::Outcome::BadChecksum)
            matcher.Forget(m_tickets[match.id - m_firstId]);
        return;
    }
    auto [source, added] = m_sources.try_emplace(datagram.source, m_sources.size());
    CapturedFrame& frame = m_ahead.emplace_back();
    frame.number = datagram.number;
    frame.timeNs = datagram.timeNs;
    frame.source = datagram.source;
    frame.destination = datagram.destination;
    frame.sender = source->second % m_limits.senders;
    frame.size = datagram.payload.size();
    std::copy(datagram.payload.begin(), datagram.payload.end(), frame.storage.begin());
    m_tickets.push_back(
        MatcherOf(frame.sender).Sent(frame.destination, frame.Bytes(), m_nextId, CaptureTime(frame.timeNs)));
    ++m_nextId;
}

const CapturedFrame* CapturedExchange::Peek()
{
    while (!FrontReady() && (!m_ended || m_held))
        ReadOne();
    return m_ahead.empty() ? nullptr : &m_ahead.front();
}

Result<std::optional<CapturedFrame>> CapturedExchange::Next()
{
    if (Peek() == nullptr) {
        if (m_error)
            return Failure(*m_error);
        return std::optional<CapturedFrame>{};
    }
    std::optional<CapturedFrame> frame(std::move(m_ahead.front()));
    // An answer that comes after the frame left is late, and pairs with no later frame.
    MatcherOf(frame->sender).Forget(m_tickets.front());
    m_ahead.pop_front();
    m_tickets.pop_front();
    ++m_firstId;
    return frame;
}

} // namespace veltrano
