// The console's message table: every control notification, the timer and the window messages reach
// their handlers from here, in the table's order.

#include "engine/control_ids.h"
#include "net/udp_endpoint.h"
#include "ui/host_center_dlg.h"

#include <QAbstractButton>
#include <QAction>
#include <QEvent>

// The engine is no QObject: the dialog receives the click and calls the engine's handler itself.
template <void (CHostCenterEngine::*handler)()>
void CHostCenterDlg::OnCommand()
{
    (this->*handler)();
}

void CHostCenterDlg::ConnectMessageTable()
{
    const auto button = [this](int id) { return qobject_cast<QAbstractButton*>(m_controls.at(id)); };

    // 1 WM_SYSCOMMAND: the dialog's own system menu (see contextMenuEvent) -> OnSysCommand.
    // 2 WM_PAINT, 3 WM_QUERYDRAGICON: the window manager draws and drags a minimised window itself, so the
    //   icon drawing has no counterpart here; the window icon is set when the window opens.
    connect(button(IDC_START), &QAbstractButton::clicked, this,
            &CHostCenterDlg::OnCommand<&CHostCenterEngine::OnStart>);
    connect(button(IDC_STOP), &QAbstractButton::clicked, this,
            &CHostCenterDlg::OnCommand<&CHostCenterEngine::OnStop>);
    connect(button(IDC_SEND_EVENT), &QAbstractButton::clicked, this,
            &CHostCenterDlg::OnCommand<&CHostCenterEngine::OnSendEvent>);
    connect(&m_autoSendTimer, &QTimer::timeout, this, &CHostCenterDlg::OnAutoSendTimer);
    connect(button(IDC_AUTO_SEND), &QAbstractButton::clicked, this,
            &CHostCenterDlg::OnCommand<&CHostCenterEngine::OnAutoSendStart>);
    connect(button(IDC_AUTO_STOP), &QAbstractButton::clicked, this,
            &CHostCenterDlg::OnCommand<&CHostCenterEngine::OnAutoSendStop>);
    connect(button(IDC_CLEAR_RECV), &QAbstractButton::clicked, this,
            &CHostCenterDlg::OnCommand<&CHostCenterEngine::OnClearReceived>);
    connect(button(IDC_CLEAR_SENT), &QAbstractButton::clicked, this,
            &CHostCenterDlg::OnCommand<&CHostCenterEngine::OnClearSent>);
    connect(button(IDC_SEND_CUSTOM), &QAbstractButton::clicked, this,
            &CHostCenterDlg::OnCommand<&CHostCenterEngine::OnSendCustom>);
    connect(button(IDC_DEBUG), &QAbstractButton::clicked, this,
            &CHostCenterDlg::OnCommand<&CHostCenterEngine::OnSendDebug>);
    // 14 WM_UDP_NOTIFY arrives as a posted event: see event().
}

void CHostCenterDlg::OnAutoSendTimer()
{
    OnTimer(AUTO_SEND_TIMER_ID);
}

void CHostCenterDlg::OnSystemMenuTriggered(QAction* action)
{
    OnSysCommand(action->data().toUInt(), 0);
}

bool CHostCenterDlg::event(QEvent* event)
{
    if (DispatchWindowMessage(event))
        return true;
    return QDialog::event(event);
}
