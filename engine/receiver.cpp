#include "engine/host_center_engine.h"

#include "protocol/acknowledgement.h"

#include <variant>

void CHostCenterEngine::OnUdpNotify()
{
    const ReadResult read = m_endpoint.ReadDatagram(m_recvBuf);
    if (read.length <= 0)
        return;
    // Only this datagram's bytes go on: nothing an earlier one left in the buffer shows in its line or leaves
    // in its acknowledgement, where the bytes it lacks count as zero.
    const auto datagram = std::span(m_recvBuf).first(static_cast<std::size_t>(read.length));
    const LoggedFrame received{datagram, read.timeUs, read.sender, 0, read.at};

    const auto answer = AcknowledgementFor(datagram);
    const auto* ack = std::get_if<AckFrame>(&answer);
    if (ack == nullptr) {
        m_console.AppendFrame(LogList::Received, received);
        return;
    }
    // The answer goes before either line is listed, so the peer does not wait for the lists; the lines keep
    // the moments of the read and of the send, and their order.
    const SendResult sent = m_endpoint.SendTo(read.sender, *ack);
    const FrameTime sentAt = m_endpoint.Now();
    m_console.AppendFrame(LogList::Received, received);
    m_console.AppendFrame(LogList::Sent, {*ack, sentAt.wallUs, read.sender, sent.error, sentAt.mono});
}
