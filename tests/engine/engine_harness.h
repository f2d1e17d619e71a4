#pragma once

#include "engine/control_ids.h"
#include "engine/host_center_engine.h"
#include "tests/support/udp_peer.h"

#include <QMap>
#include <QObject>
#include <QStringList>

#include <map>
#include <optional>
#include <string>
#include <vector>

// "0C 00 01" -> {0x0C, 0x00, 0x01}.
std::vector<std::uint8_t> Bytes(std::string_view hex);
// The display line of a frame written as "0C 00 01": " 0C 00 01".
inline std::string Line(std::string_view hex)
{
    return " " + std::string(hex);
}

// A console that records what the handlers do to it and answers with what the test set.
class FakeConsole final : public QObject, public IConsole
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FakeConsole)

public:
    // What the data exchange yields: members it does not reach (none) keep their values.
    struct Form
    {
        std::optional<int> commNo{0};
        std::optional<int> deviceNo{1};
        std::optional<int> zoneNo{1};
        std::optional<QString> commandText{QString()};
        bool succeeds{true};
    };

    FakeConsole() = default;

    bool PullFormValues(int& commNo, int& deviceNo, int& zoneNo, QString& commandText) override;
    std::optional<int> EventSelection() const override { return selection; }
    QString ControlText(int controlId) const override { return texts.value(controlId); }
    void AppendLine(int listId, std::string_view line) override { lines[listId].emplace_back(line); }
    void ResetList(int listId) override { lines[listId].clear(); }
    void ShowMessage(const QString& text) override { messages.append(text); }
    void EnableControl(int controlId, bool enable) override { flags[controlId] = enable; }
    void SetTimer(int timerId, int periodMs) override { timers[timerId] = periodMs; }
    void KillTimer(int timerId) override { timers.erase(timerId); }
    QObject* Window() override { return this; }

    // Start, Stop, send event, automatic send, automatic stop, destination address, destination port:
    // '1' enabled, '0' disabled, '-' never switched.
    std::string Enabling() const;

    CHostCenterEngine* engine{nullptr}; // receives the notifications posted to Window()
    Form form;
    std::optional<int> selection{0};
    QMap<int, QString> texts;

    std::map<int, std::vector<std::string>> lines;
    QStringList messages;
    std::map<int, bool> flags;
    std::map<int, int> timers; // running: id -> period

protected:
    bool event(QEvent* e) override;
};

// An engine started on the given source port, its console aimed at a loopback peer, the sweep at its
// beginning.
struct EngineHarness
{
    explicit EngineHarness(const QString& sourcePort = QStringLiteral("0"));

    // The engine's bound port, host byte order.
    std::uint16_t Port() const;
    // The pair's stored status; none while the pair is not registered.
    std::optional<std::vector<std::uint8_t>> StatusOf(int commNo, int deviceNo) const;
    // The next datagram at the peer, if one comes from the engine's port within two seconds.
    std::optional<std::vector<std::uint8_t>> Next();
    // Runs the event loop until the list holds `count` lines; false after two seconds or with more.
    bool WaitForLines(int listId, std::size_t count);
    // Sends the debug frame and checks it is the next datagram at the peer: whatever the step under test
    // sent would have come first.
    bool NothingSentBefore();
    std::vector<std::string>& Sent() { return console.lines[IDC_SENT_LIST]; }
    std::vector<std::string>& Received() { return console.lines[IDC_RECV_LIST]; }

    FakeConsole console;
    CHostCenterEngine engine{console};
    UdpPeer peer;
};
