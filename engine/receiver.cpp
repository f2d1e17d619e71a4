#include "engine/host_center_engine.h"

#include "protocol/acknowledgement.h"
#include "protocol/frame_decoder.h"

#include <utility>
#include <variant>

using namespace veltrano;

void CHostCenterEngine::OnUdpNotify()
{
    if (m_answeredCount == m_answered.size())
        ListAnswered();
    Answered& next = m_answered[m_answeredCount];
    next.read = m_endpoint.ReadDatagram(next.bytes);
    if (next.read.length <= 0)
        return;
    ++m_answeredCount;
    // Only this datagram's bytes go on: nothing an earlier one left in the buffer shows in its line or leaves
    // in its acknowledgement, where the bytes it lacks count as zero.
    const auto datagram = std::span(next.bytes).first(static_cast<std::size_t>(next.read.length));
    const auto answer = AcknowledgementFor(datagram);
    const auto* ack = std::get_if<AckFrame>(&answer);
    next.acknowledged = ack != nullptr;
    if (ack == nullptr)
        return;
    // The peer does not wait for the lists: the lines keep the moments of the read and of the send.
    next.ack = *ack;
    next.sent = m_endpoint.SendTo(next.read.sender, next.ack);
    next.sentAt = m_endpoint.Now();
}

void CHostCenterEngine::ListAnswered()
{
    const std::size_t count = std::exchange(m_answeredCount, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const Answered& line = m_answered[i];
        const auto datagram = std::span(line.bytes).first(static_cast<std::size_t>(line.read.length));
        // After the answers went out: the book never holds up a peer.
        m_book.Hear(line.read.sender, DecodeFrame(datagram), line.read.at, line.read.timeUs);
        m_console.AppendFrame(LogList::Received,
                              {datagram, line.read.timeUs, line.read.sender, 0, line.read.at});
        if (line.acknowledged)
            m_console.AppendFrame(LogList::Sent, {line.ack, line.sentAt.wallUs, line.read.sender,
                                                  line.sent.error, line.sentAt.mono});
    }
}
