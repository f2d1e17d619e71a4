#pragma once

#include "engine/console.h"
#include "net/udp_endpoint.h"
#include "protocol/frame.h"
#include "registry/device_registry.h"

#include <QString>

#include <cstdint>

// The simulator half of the console dialog: its state and every handler of the simulator and of the
// console commands. It reaches the window only through IConsole, so it runs against the real dialog
// (which derives from it) or against a test's fake.
class CHostCenterEngine
{
public:
    explicit CHostCenterEngine(IConsole& console);
    ~CHostCenterEngine();
    CHostCenterEngine(const CHostCenterEngine&) = delete;
    CHostCenterEngine& operator=(const CHostCenterEngine&) = delete;

    // Event frames.
    void OnSendEvent();
    CDeviceEntry* PrepareStatusFrame();
    void BuildAndSendEvent(std::uint32_t address, std::uint16_t port);

    // Receive and acknowledge; returns -1 for a notification carrying an error, else 0.
    std::intptr_t OnUdpNotify(std::uintptr_t wParam, std::intptr_t lParam);

    // Automatic sending.
    void OnAutoSendStart();
    void OnAutoSendStop();
    void OnTimer(int timerId);
    void OnAutoSendTick();

    // Custom command and debug frame.
    void OnSendCustom();
    void OnSendDebug();

    // Reads the destination fields and applies the destination rule; outputs in network byte order.
    bool ResolveDestination(std::uint32_t& address, std::uint16_t& port);

    // Hands a window message posted by the endpoint to its handler; false for any other event.
    bool DispatchWindowMessage(const QEvent* event);

    // Console commands.
    void EnableSendButtons(bool enable);
    void OnStart();
    void OnStop();
    void OnClearReceived();
    void OnClearSent();

    // Form values, filled by the data exchange.
    int m_commNo{0};
    int m_deviceNo{0};
    int m_zoneNo{0};
    QString m_commandText;

    FrameBuffer m_sendBuf{};
    FrameBuffer m_recvBuf{};
    CUdpEndpoint m_endpoint;
    CDeviceRegistry m_registry;

protected:
    IConsole& m_console;

private:
    // ResolveDestination, telling the operator when the fields do not resolve.
    bool ResolveDestinationOrTell(std::uint32_t& address, std::uint16_t& port);
};
