#pragma once

#include "book/panel_book.h"
#include "engine/console.h"
#include "net/udp_endpoint.h"
#include "protocol/acknowledgement.h"
#include "protocol/frame.h"
#include "registry/device_registry.h"
#include "sim/sweep_walk.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstddef>
#include <optional>

// The simulator behind the console window: the simulated panel (event frames, automatic sending, custom and
// debug frames), the simulated centre (receive and acknowledge) and the Start, Stop and Clear commands. It
// reaches the window only through IConsole and reports the console's state there after every change.
class CHostCenterEngine final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHostCenterEngine)

public:
    static constexpr int AUTO_SEND_PERIOD_MS = 1000;

    explicit CHostCenterEngine(IConsole& console, QObject* parent = nullptr);
    ~CHostCenterEngine() override;

    // Console commands.
    void OnStart();
    void OnStop();
    void OnClearReceived();
    void OnClearSent();
    // Event frames.
    void OnSendEvent();
    // Automatic sending; a tick runs every AUTO_SEND_PERIOD_MS while it runs.
    void OnAutoSendStart();
    void OnAutoSendStop();
    void OnAutoSendTick();
    // Custom command and debug frame.
    void OnSendCustom();
    void OnSendDebug();

    ConsoleState State() const;
    // The port the centre listens on, host byte order; 0 while Idle.
    std::uint16_t ListeningPort() const { return m_endpoint.LocalPort(); }
    const veltrano::CDeviceRegistry& Registry() const { return m_registry; }
    // What the centre knows of the panels it hears, fed with every datagram read.
    veltrano::PanelBook& Book() { return m_book; }
    const veltrano::PanelBook& Book() const { return m_book; }

Q_SIGNALS:
    // An event send found or created a registry entry, and may have changed its status.
    void RegistryChanged();

private:
    // A datagram read and answered, listed once every datagram of its notification is answered.
    struct Answered
    {
        veltrano::FrameBuffer bytes{};
        ReadResult read;
        bool acknowledged{false};
        veltrano::AckFrame ack{};
        SendResult sent;
        FrameTime sentAt;
    };

    // Receive and acknowledge: one datagram per signal of the endpoint.
    void OnUdpNotify();
    // Lists the datagrams answered since the last call, and their answers, in order.
    void ListAnswered();
    // The destination fields through the destination rule; none when they do not resolve.
    std::optional<veltrano::Endpoint> ResolveDestination() const;
    // The same, telling the operator when the fields do not resolve.
    std::optional<veltrano::Endpoint> ResolveDestinationOrTell();
    veltrano::CDeviceEntry& PrepareStatusEntry(int commNo, int deviceNo);
    void SetAutoSendRunning(bool running);

    IConsole& m_console;
    veltrano::FrameBuffer m_sendBuf{};
    // The answers go out back to back; their lines follow, before the event loop's turn.
    std::array<Answered, CUdpEndpoint::SIGNALS_PER_WAKE> m_answered{};
    std::size_t m_answeredCount{0};
    veltrano::CDeviceRegistry m_registry;
    veltrano::PanelBook m_book{{}, std::chrono::steady_clock::now()};
    // Declared after the registry, so that the socket goes first.
    CUdpEndpoint m_endpoint;
    // Lives as long as the engine: stopping and starting resumes the walk where it stopped.
    veltrano::SweepWalk m_sweep;
    QTimer m_autoSendTimer;
};

// The event list's text for a catalogue row; "未知" outside 0 to 22.
QString EventTypeName(int index);
