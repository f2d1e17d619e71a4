#include "engine/host_center_engine.h"
#include "engine/messages.h"

using namespace veltrano;

void CHostCenterEngine::OnStart()
{
    const QString portText = m_console.SourcePortText();
    if (portText.isEmpty()) {
        m_console.ShowMessage(SourcePortEmptyMessage());
        return;
    }
    if (!m_endpoint.Open(AtoiSaturating(portText))) {
        // A half-open socket would send from a port of the system's choosing and never receive.
        m_endpoint.Close();
        m_console.ShowMessage(SourcePortOpenFailedMessage());
        return;
    }
    m_console.ApplyState(State());
}

void CHostCenterEngine::OnStop()
{
    // Otherwise the timer would go on ticking with no button left to stop it.
    m_autoSendTimer.stop();
    m_endpoint.Close();
    m_console.ApplyState(State());
}

void CHostCenterEngine::OnClearReceived()
{
    m_console.ClearList(LogList::Received);
}

void CHostCenterEngine::OnClearSent()
{
    m_console.ClearList(LogList::Sent);
}
