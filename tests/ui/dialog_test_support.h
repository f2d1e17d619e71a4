#pragma once

#include "ui/host_center_dlg.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>

class FrameListView;
class QLineEdit;
class QPushButton;
class QTimer;

// Records every message and prompt of the consoles instead of showing a modal box.
class MessageRecorder final
{
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    QStringList messages;
};

// A shown console whose destination is already loopback, so nothing a test sends leaves the machine.
std::unique_ptr<CHostCenterDlg> OpenConsole(const QString& destinationPort = QStringLiteral("8015"));

QLineEdit* EditOf(const QWidget& dialog, const char* name);
QPushButton* ButtonOf(const QWidget& dialog, const char* name);
FrameListView* ListOf(const QWidget& dialog, const char* name);
QTimer* AutoSendTimerOf(const QWidget& dialog);
void SetText(const QWidget& dialog, const char* name, const QString& text);
QString PortText(int port);
void Click(const QWidget& dialog, const char* button);

// Calls inside() once a modal window is up (the caller then opens it), and closes the window if
// inside() did not.
void WhenModal(std::function<void(QWidget*)> inside);

// The console states of the enabling table.
enum class ConsoleState
{
    Idle,
    Started,
    Sweeping,
};
// Each control's enabled flag, by identifier, as the state wants it.
std::map<int, bool> ExpectedEnabling(ConsoleState state);
std::map<int, bool> ActualEnabling(const QWidget& dialog);
