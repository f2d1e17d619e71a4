// The console's message table: every control notification, the timer and the window messages reach
// their handlers from here, in the table's order.

#include "engine/control_ids.h"
#include "net/udp_endpoint.h"
#include "ui/host_center_dlg.h"

#include <QAbstractButton>
#include <QAction>
#include <QEvent>

namespace {

// The engine's handlers as members of the dialog, which is the QObject that receives the signals.
using Handler = void (CHostCenterDlg::*)();

} // namespace

void CHostCenterDlg::ConnectMessageTable()
{
    const auto button = [this](int id) { return qobject_cast<QAbstractButton*>(m_controls.at(id)); };

    // 1 WM_SYSCOMMAND: the dialog's own system menu (see contextMenuEvent) -> OnSysCommand.
    // 2 WM_PAINT, 3 WM_QUERYDRAGICON: the window manager draws and drags a minimised window itself, so the
    //   icon drawing has no counterpart here; the window icon is set when the window opens.
    connect(button(IDC_START), &QAbstractButton::clicked, this, Handler{&CHostCenterDlg::OnStart});
    connect(button(IDC_STOP), &QAbstractButton::clicked, this, Handler{&CHostCenterDlg::OnStop});
    connect(button(IDC_SEND_EVENT), &QAbstractButton::clicked, this, Handler{&CHostCenterDlg::OnSendEvent});
    connect(&m_autoSendTimer, &QTimer::timeout, this, &CHostCenterDlg::OnAutoSendTimer);
    connect(button(IDC_AUTO_SEND), &QAbstractButton::clicked, this,
            Handler{&CHostCenterDlg::OnAutoSendStart});
    connect(button(IDC_AUTO_STOP), &QAbstractButton::clicked, this, Handler{&CHostCenterDlg::OnAutoSendStop});
    connect(button(IDC_CLEAR_RECV), &QAbstractButton::clicked, this,
            Handler{&CHostCenterDlg::OnClearReceived});
    connect(button(IDC_CLEAR_SENT), &QAbstractButton::clicked, this, Handler{&CHostCenterDlg::OnClearSent});
    connect(button(IDC_SEND_CUSTOM), &QAbstractButton::clicked, this, Handler{&CHostCenterDlg::OnSendCustom});
    connect(button(IDC_DEBUG), &QAbstractButton::clicked, this, Handler{&CHostCenterDlg::OnSendDebug});
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
    if (event->type() == CWindowMessageEvent::EventType) {
        const auto* message = static_cast<const CWindowMessageEvent*>(event);
        if (message->Message() == WM_UDP_NOTIFY) {
            OnUdpNotify(message->WParam(), message->LParam());
            return true;
        }
    }
    return QDialog::event(event);
}
