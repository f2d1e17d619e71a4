#pragma once

// What the window's tests share: finding a control, a console on loopback, the modal windows they answer,
// the texts of a table and of a list, and a panel's status frame.

#include "protocol/frame.h"

#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>

class CHostCenterDlg;
class QAbstractItemModel;

// Failures show texts as texts.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

template <class T = QWidget>
T* Find(const QWidget& parent, const char* name)
{
    return parent.findChild<T*>(QString::fromLatin1(name));
}

void SetText(const QWidget& window, const char* edit, const QString& text);
void Click(const QWidget& window, const char* button);
// The display lines of a frame list.
QStringList Lines(const QWidget& window, const char* list);
QStringList RowTexts(const QAbstractItemModel& model, int row);
QStringList ColumnTexts(const QAbstractItemModel& model, int column);

// A shown, active console whose destination is already loopback, so nothing a test sends leaves the machine.
std::unique_ptr<CHostCenterDlg> OpenConsole(const QString& destinationPort = QStringLiteral("8015"));
// Starts the console on a free port; returns that port.
int StartOnFreePort(const QWidget& console);
// A console started on a free port that sends to the given loopback port, or to itself with 0.
std::unique_ptr<CHostCenterDlg> StartConsole(std::uint16_t destinationPort = 0);

// Runs step() every 10 ms from whichever event loop is running, a modal window's own included, until it
// yields true or about five seconds have passed; then closes a modal window still open.
void Poll(std::function<bool()> step, int triesLeft = 500);
// Calls inside() once a modal window is up (the caller then opens it), then closes it.
void WhenModal(std::function<void(QWidget*)> inside);

// Closes every message box as soon as it is up, from a timer that the box's own event loop runs, and keeps
// its text: the messages and prompts the operator would have read.
class MessageRecorder final
{
public:
    MessageRecorder();
    Q_DISABLE_COPY_MOVE(MessageRecorder)

    QStringList messages;

private:
    QTimer m_timer;
};

// A well-formed status frame of a panel.
std::array<std::uint8_t, veltrano::STATUS_FRAME_LENGTH> StatusFrame(std::uint8_t comm, std::uint8_t dev,
                                                                    veltrano::StatusBytes status);
