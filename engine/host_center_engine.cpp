#include "engine/host_center_engine.h"

#include "engine/messages.h"
#include "sim/event_catalogue.h"

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

CHostCenterEngine::CHostCenterEngine(IConsole& console, QObject* parent)
    : QObject(parent), m_console(console), m_endpoint(this), m_autoSendTimer(this)
{
    m_autoSendTimer.setObjectName(u"autoSendTimer"_s);
    m_autoSendTimer.setTimerType(Qt::PreciseTimer);
    m_autoSendTimer.setInterval(AUTO_SEND_PERIOD_MS);
    connect(&m_autoSendTimer, &QTimer::timeout, this, &CHostCenterEngine::OnAutoSendTick);
    connect(&m_endpoint, &CUdpEndpoint::DatagramWaiting, this, &CHostCenterEngine::OnUdpNotify);
    connect(&m_endpoint, &CUdpEndpoint::SignalsDone, this, &CHostCenterEngine::ListAnswered);
}

CHostCenterEngine::~CHostCenterEngine()
{
    // The socket goes before the registry: nothing may reach a half-destroyed engine.
    m_endpoint.Close();
}

ConsoleState CHostCenterEngine::State() const
{
    if (!m_endpoint.IsOpen())
        return ConsoleState::Idle;
    return m_autoSendTimer.isActive() ? ConsoleState::Sweeping : ConsoleState::Started;
}

std::optional<Endpoint> CHostCenterEngine::ResolveDestination() const
{
    return ResolveDestinationText(m_console.DestinationAddressText(), m_console.DestinationPortText());
}

std::optional<Endpoint> CHostCenterEngine::ResolveDestinationOrTell()
{
    std::optional<Endpoint> destination = ResolveDestination();
    if (!destination)
        m_console.ShowMessage(DestinationInvalidMessage());
    return destination;
}

QString EventTypeName(int index)
{
    const EventRow* row = FindEventRow(index);
    return row != nullptr ? QString::fromUtf8(row->name) : u"未知"_s;
}
