#include "engine/host_center_engine.h"
#include "engine/messages.h"

#include <QByteArray>

#include <algorithm>
#include <string_view>

using namespace veltrano;

namespace {

constexpr std::size_t DEBUG_CLEARED_BYTES = 64;

} // namespace

void CHostCenterEngine::OnSendCustom()
{
    // After a failed exchange the text is an earlier one, not the one on screen.
    const FormExchange form = m_console.PullFormValues();
    if (!form.passed || form.values.commandText.isEmpty())
        return;
    // Characters beyond Latin-1 become '?', which the parser refuses.
    const QByteArray text = form.values.commandText.toLatin1();
    const Result<std::size_t> parsed = ParseCommandText(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())), m_sendBuf);
    if (!parsed) {
        m_console.ShowMessage(CommandFormatMessage());
        return;
    }
    const std::optional<Endpoint> destination = ResolveDestinationOrTell();
    if (!destination)
        return;
    // Exactly as typed: no length byte is corrected and no checksum added.
    m_endpoint.SendTo(*destination, std::span(m_sendBuf).first(*parsed));
}

void CHostCenterEngine::OnSendDebug()
{
    std::fill_n(m_sendBuf.begin(), DEBUG_CLEARED_BYTES, std::uint8_t{0});
    m_sendBuf[FRAME_LENGTH] = DEBUG_FRAME_LENGTH;
    m_sendBuf[FRAME_COMMAND] = CMD_DEBUG;
    m_sendBuf[DEBUG_FRAME_LENGTH - 1] = 0x00; // where other frames carry their checksum
    const std::optional<Endpoint> destination = ResolveDestinationOrTell();
    if (!destination)
        return;
    m_endpoint.SendTo(*destination, std::span(m_sendBuf).first(DEBUG_FRAME_LENGTH));
}
