#include "tests/ui/dialog_test_support.h"

#include "engine/control_ids.h"
#include "ui/dialog_template.h"
#include "ui/frame_list_view.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

MessageRecorder::MessageRecorder()
{
    CHostCenterDlg::SetMessageHook([this](const QString& text) { messages << text; });
}

MessageRecorder::~MessageRecorder()
{
    CHostCenterDlg::SetMessageHook({});
}

std::unique_ptr<CHostCenterDlg> OpenConsole(const QString& destinationPort)
{
    auto dialog = std::make_unique<CHostCenterDlg>();
    SetText(*dialog, "IDC_DEST_IP", QStringLiteral("127.0.0.1"));
    SetText(*dialog, "IDC_DEST_PORT", destinationPort);
    dialog->show();
    dialog->activateWindow();
    if (!QTest::qWaitForWindowExposed(dialog.get()))
        return nullptr;
    return dialog;
}

QLineEdit* EditOf(const QWidget& dialog, const char* name)
{
    return dialog.findChild<QLineEdit*>(QString::fromLatin1(name));
}

QPushButton* ButtonOf(const QWidget& dialog, const char* name)
{
    return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
}

FrameListView* ListOf(const QWidget& dialog, const char* name)
{
    return dialog.findChild<FrameListView*>(QString::fromLatin1(name));
}

QTimer* AutoSendTimerOf(const QWidget& dialog)
{
    return dialog.findChild<QTimer*>(QStringLiteral("autoSendTimer"));
}

void SetText(const QWidget& dialog, const char* name, const QString& text)
{
    EditOf(dialog, name)->setText(text);
}

QString PortText(int port)
{
    return QString::number(port);
}

void Click(const QWidget& dialog, const char* button)
{
    ButtonOf(dialog, button)->click();
}

void WhenModal(std::function<void(QWidget*)> inside)
{
    auto* poll = new QTimer(qApp);
    poll->setInterval(10);
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, inside, tries] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr && ++*tries < 500)
            return;
        poll->stop();
        poll->deleteLater();
        if (modal == nullptr)
            return;
        inside(modal);
        if (QApplication::activeModalWidget() == modal)
            modal->close();
    });
    poll->start();
}

std::map<int, bool> ExpectedEnabling(ConsoleState state)
{
    const bool idle = state == ConsoleState::Idle;
    const bool sweeping = state == ConsoleState::Sweeping;
    std::map<int, bool> enabled;
    for (const ControlTemplate& control : MainTemplateControls())
        if (control.id != IDC_STATIC)
            enabled[control.id] = true;
    enabled[IDC_START] = idle;
    enabled[IDC_STOP] = !idle;
    enabled[IDC_SEND_EVENT] = !idle;
    enabled[IDC_AUTO_SEND] = state == ConsoleState::Started;
    enabled[IDC_AUTO_STOP] = sweeping;
    enabled[IDC_DEST_IP] = !sweeping;
    enabled[IDC_DEST_PORT] = !sweeping;
    return enabled;
}

std::map<int, bool> ActualEnabling(const QWidget& dialog)
{
    std::map<int, bool> enabled;
    for (const ControlTemplate& control : MainTemplateControls())
        if (control.id != IDC_STATIC)
            enabled[control.id] = dialog.findChild<QWidget*>(QString::fromLatin1(control.name))->isEnabled();
    return enabled;
}
