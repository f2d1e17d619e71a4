#pragma once

#include "net/destination.h"
#include "protocol/endpoint.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

// The console's three states; the window enables its controls from the state alone.
enum class ConsoleState : std::uint8_t
{
    Idle,     // endpoint closed
    Started,  // endpoint open, listening and sending
    Sweeping, // started, and automatic sending runs
};

enum class LogList : std::uint8_t
{
    Sent,
    Received,
};

// The form's four values as the last data exchange that reached each of them left it.
struct FormValues
{
    int commNo{0};
    int deviceNo{0};
    int zoneNo{0};
    QString commandText;
};

struct FormExchange
{
    bool passed{false}; // every check passed; otherwise the operator has seen the prompt of the first failure
    FormValues values;
};

// One frame for a log list, with where and when it went or came from.
struct LoggedFrame
{
    std::span<const std::uint8_t> bytes; // the datagram as sent or received
    std::int64_t timeUs{0};              // wall clock, microseconds since the epoch
    veltrano::Endpoint peer;             // the far side
    int sendError{0};                    // the system's error number of a send that failed; 0 otherwise
    // The same moment on the monotonic clock, for the times between lines; none: the console reads it.
    std::optional<std::chrono::steady_clock::time_point> at{};
};

// What the handlers need of the console window, and nothing more. The dialog implements it on its widgets;
// tests implement it with a recording console.
class IConsole
{
public:
    // The data exchange from the controls, with its checks and prompts.
    virtual FormExchange PullFormValues() = 0;
    // The event list's current row, or none.
    virtual std::optional<int> EventSelection() const = 0;
    virtual QString DestinationAddressText() const = 0;
    virtual QString DestinationPortText() const = 0;
    virtual QString SourcePortText() const = 0;
    virtual void AppendFrame(LogList list, const LoggedFrame& frame) = 0;
    virtual void ClearList(LogList list) = 0;
    // Modal, OK button only; the thread's events keep flowing while it is open.
    virtual void ShowMessage(const QString& text) = 0;
    virtual void ApplyState(ConsoleState state) = 0;

protected:
    IConsole() = default;
    ~IConsole() = default;
    IConsole(const IConsole&) = default;
    IConsole& operator=(const IConsole&) = default;
};
