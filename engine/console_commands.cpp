#include "engine/control_ids.h"
#include "engine/host_center_engine.h"
#include "engine/messages.h"

#include "net/destination.h"

void CHostCenterEngine::EnableSendButtons(bool enable)
{
    m_console.EnableControl(IDC_AUTO_SEND, enable);
    m_console.EnableControl(IDC_SEND_EVENT, enable);
}

void CHostCenterEngine::OnStart()
{
    const QString portText = m_console.ControlText(IDC_SOURCE_PORT);
    if (portText.isEmpty()) {
        m_console.ShowMessage(SourcePortEmptyMessage());
        return;
    }
    if (!m_endpoint.Open(AtoiSaturating(portText), m_console.Window(), WM_UDP_NOTIFY)) {
        // A half-open socket would send from a port of the system's choosing and never receive.
        m_endpoint.Close();
        m_console.ShowMessage(SourcePortOpenFailedMessage());
        return;
    }
    m_console.EnableControl(IDC_START, false);
    m_console.EnableControl(IDC_STOP, true);
    EnableSendButtons(true);
}

void CHostCenterEngine::OnStop()
{
    // Otherwise the timer would go on ticking with no button left to stop it.
    OnAutoSendStop();
    m_endpoint.Close();
    m_console.EnableControl(IDC_START, true);
    m_console.EnableControl(IDC_STOP, false);
    m_console.EnableControl(IDC_AUTO_STOP, false);
    EnableSendButtons(false);
}

void CHostCenterEngine::OnClearReceived()
{
    m_console.ResetList(IDC_RECV_LIST);
}

void CHostCenterEngine::OnClearSent()
{
    m_console.ResetList(IDC_SENT_LIST);
}
