#include "engine/control_ids.h"
#include "engine/host_center_engine.h"
#include "engine/messages.h"

#include <QByteArray>

#include <algorithm>
#include <string_view>

namespace {

constexpr std::size_t DEBUG_CLEARED_BYTES = 64;

} // namespace

void CHostCenterEngine::OnSendCustom()
{
    // After a failed exchange the member holds an earlier text, not the one on screen.
    if (!m_console.PullFormValues(m_commNo, m_deviceNo, m_zoneNo, m_commandText))
        return;
    if (m_commandText.isEmpty())
        return;
    // Characters beyond Latin-1 become '?', which the parser refuses.
    const QByteArray text = m_commandText.toLatin1();
    const ParseResult parsed = ParseCommandText(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())), m_sendBuf);
    if (!parsed.accepted) {
        m_console.ShowMessage(CommandFormatMessage());
        return;
    }
    std::uint32_t address{0};
    std::uint16_t port{0};
    if (!ResolveDestinationOrTell(address, port))
        return;
    m_endpoint.SendTo(address, port, m_sendBuf.data(), static_cast<int>(parsed.count));
}

void CHostCenterEngine::OnSendDebug()
{
    std::fill_n(m_sendBuf.begin(), DEBUG_CLEARED_BYTES, std::uint8_t{0});
    m_sendBuf[FRAME_LENGTH] = DEBUG_FRAME_LENGTH;
    m_sendBuf[FRAME_COMMAND] = CMD_DEBUG;
    m_sendBuf[DEBUG_FRAME_LENGTH - 1] = 0x00; // where other frames carry their checksum
    std::uint32_t address{0};
    std::uint16_t port{0};
    if (!ResolveDestinationOrTell(address, port))
        return;
    m_endpoint.SendTo(address, port, m_sendBuf.data(), DEBUG_FRAME_LENGTH);
}
