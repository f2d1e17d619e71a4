#include "engine/host_center_engine.h"

#include "engine/control_ids.h"
#include "engine/messages.h"
#include "net/destination.h"

CHostCenterEngine::CHostCenterEngine(IConsole& console) : m_console(console) {}

CHostCenterEngine::~CHostCenterEngine()
{
    // Before the registry goes: no notification may reach a half-destroyed engine.
    m_endpoint.Close();
}

bool CHostCenterEngine::ResolveDestination(std::uint32_t& address, std::uint16_t& port)
{
    const std::optional<Destination> destination =
        ResolveDestinationText(m_console.ControlText(IDC_DEST_IP), m_console.ControlText(IDC_DEST_PORT));
    if (!destination)
        return false;
    address = destination->address;
    port = destination->port;
    return true;
}

bool CHostCenterEngine::ResolveDestinationOrTell(std::uint32_t& address, std::uint16_t& port)
{
    if (ResolveDestination(address, port))
        return true;
    m_console.ShowMessage(DestinationInvalidMessage());
    return false;
}

bool CHostCenterEngine::DispatchWindowMessage(const QEvent* event)
{
    if (event->type() != CWindowMessageEvent::EventType)
        return false;
    const auto* message = static_cast<const CWindowMessageEvent*>(event);
    if (message->Message() == WM_UDP_NOTIFY)
        OnUdpNotify(message->WParam(), message->LParam());
    return true;
}
