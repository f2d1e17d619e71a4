#include "ui/list_pairing.h"

#include <algorithm>
#include <utility>
#include <variant>

using namespace veltrano;

std::optional<LinePairing> ListPairing::OnAppend(LogList list, const LoggedFrame& frame, std::uint64_t serial,
                                                 MonoTime now)
{
    const std::optional<Received> received = std::exchange(m_lastReceived, std::nullopt);
    const bool ack = IsAcknowledgement(frame.bytes);
    if (list == LogList::Received) {
        if (ack) {
            const AckMatcher::Match match = m_sent.Received(frame.peer, frame.bytes, now);
            if (match.outcome != AckMatcher::Outcome::Answered)
                return std::nullopt;
            return LinePairing{match.id, match.rtt.count()};
        }
        // The datagrams the centre answers: not empty, not over the receive buffer.
        if (const auto answer = AcknowledgementFor(frame.bytes); std::holds_alternative<AckFrame>(answer))
            m_lastReceived = Received{serial, std::get<AckFrame>(answer), frame.peer, now};
        return std::nullopt;
    }
    if (ack) {
        if (!received || received->peer != frame.peer ||
            !std::equal(frame.bytes.begin(), frame.bytes.end(), received->answer.begin(), received->answer.end()))
            return std::nullopt;
        return LinePairing{received->serial,
                           std::chrono::duration_cast<std::chrono::microseconds>(now - received->at).count()};
    }
    // A frame that never left gets no answer.
    if (frame.sendError == 0)
        m_sent.Sent(frame.peer, frame.bytes, serial, now);
    return std::nullopt;
}

void ListPairing::OnClear(LogList list)
{
    if (list == LogList::Received) {
        m_lastReceived.reset();
        return;
    }
    m_sent.Clear();
}
