#pragma once

#include <QString>

#include <optional>
#include <string_view>

class QObject;

// What the handlers need of the console window, and nothing more. The real dialog implements it on its
// widgets; tests implement it with a recording fake.
class IConsole
{
public:
    // The data exchange from the controls with its checks and prompts. Members whose step was not reached,
    // or failed its conversion, keep their values. True when every step passed.
    virtual bool PullFormValues(int& commNo, int& deviceNo, int& zoneNo, QString& commandText) = 0;
    // The event list's current row, or none.
    virtual std::optional<int> EventSelection() const = 0;
    virtual QString ControlText(int controlId) const = 0;
    // listId is IDC_SENT_LIST or IDC_RECV_LIST.
    virtual void AppendLine(int listId, std::string_view line) = 0;
    virtual void ResetList(int listId) = 0;
    // Modal, OK button only.
    virtual void ShowMessage(const QString& text) = 0;
    virtual void EnableControl(int controlId, bool enable) = 0;
    // Setting a running timer restarts it. Ticks reach the handlers' OnTimer on the console's thread.
    virtual void SetTimer(int timerId, int periodMs) = 0;
    virtual void KillTimer(int timerId) = 0;
    // Receives the endpoint's notifications (CWindowMessageEvent) and hands them to OnUdpNotify.
    virtual QObject* Window() = 0;

protected:
    IConsole() = default;
    ~IConsole() = default;
    IConsole(const IConsole&) = default;
    IConsole& operator=(const IConsole&) = default;
};
