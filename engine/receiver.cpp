#include "engine/host_center_engine.h"

#include "engine/control_ids.h"

#include <algorithm>

std::intptr_t CHostCenterEngine::OnUdpNotify(std::uintptr_t /*wParam*/, std::intptr_t lParam)
{
    if (SelectError(lParam) != 0)
        return -1;
    if (SelectEvent(lParam) != FD_READ)
        return 0;
    sockaddr_in sender{};
    const int length = m_endpoint.ReadDatagram(m_recvBuf, sender);
    if (length <= 0)
        return 0;
    // Nothing of an earlier datagram may show in this one's line or leave in its acknowledgement.
    std::fill(m_recvBuf.begin() + length, m_recvBuf.end(), std::uint8_t{0});
    m_console.AppendLine(IDC_RECV_LIST, FormatFrameHex(m_recvBuf));
    if (m_recvBuf[FRAME_COMMAND] >= ACK_FLAG)
        return 0;

    m_recvBuf[FRAME_LENGTH] = ACK_FRAME_LENGTH;
    m_recvBuf[FRAME_COMMAND] |= ACK_FLAG;
    m_recvBuf[ACK_FRAME_LENGTH - 1] = FrameChecksum(m_recvBuf);
    m_endpoint.SendToSender(m_recvBuf.data(), ACK_FRAME_LENGTH, sender);
    m_console.AppendLine(IDC_SENT_LIST, FormatFrameHex(m_recvBuf));
    return 0;
}
