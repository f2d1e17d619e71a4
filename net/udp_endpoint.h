#pragma once

#include "protocol/frame.h"

#include <QEvent>
#include <QPointer>

#include <cstdint>
#include <memory>

#include <netinet/in.h>

class QObject;
class QSocketNotifier;

// The platform's values that the endpoint's users see.
inline constexpr int WM_USER = 0x0400;
inline constexpr int WM_UDP_NOTIFY = WM_USER + 2; // 1026
inline constexpr int FD_READ = 1;
inline constexpr int INVALID_SOCKET = -1;

// A window message posted to the console: the message number and its two parameters.
class CWindowMessageEvent final : public QEvent
{
public:
    static const QEvent::Type EventType;

    CWindowMessageEvent(int message, std::uintptr_t wParam, std::intptr_t lParam);

    int Message() const { return m_message; }
    std::uintptr_t WParam() const { return m_wParam; }
    std::intptr_t LParam() const { return m_lParam; }

private:
    int m_message{0};
    std::uintptr_t m_wParam{0};
    std::intptr_t m_lParam{0};
};

// Builds and splits the notification's second parameter: event code low 16 bits, error code high 16 bits.
constexpr std::intptr_t MakeSelectLParam(int event, int error)
{
    return static_cast<std::intptr_t>((static_cast<std::uint32_t>(error) << 16) |
                                      (static_cast<std::uint32_t>(event) & 0xFFFFu));
}
constexpr int SelectEvent(std::intptr_t lParam)
{
    return static_cast<int>(lParam & 0xFFFF);
}
constexpr int SelectError(std::intptr_t lParam)
{
    return static_cast<int>((lParam >> 16) & 0xFFFF);
}

// The one UDP/IPv4 socket: bound on all interfaces to the source port, non-blocking, posting a window
// message whenever a datagram waits. After a notification the next one comes only after a read.
class CUdpEndpoint final
{
public:
    CUdpEndpoint();
    ~CUdpEndpoint();
    CUdpEndpoint(const CUdpEndpoint&) = delete;
    CUdpEndpoint& operator=(const CUdpEndpoint&) = delete;

    // Only the low 16 bits of port are used (host byte order). True only if every step succeeded;
    // a failed bind or registration leaves the socket open. On an endpoint that already holds a socket
    // it returns false and leaves that socket, its binding and its notifications untouched.
    bool Open(int port, QObject* window, int message);
    // The close's result when a socket was held, -1 when already closed.
    int Close();
    bool IsOpen() const { return m_socket != INVALID_SOCKET; }
    int GetHandle() const { return m_socket; }

    // Address and port in network byte order, converted by nothing here; only length AND 0xFF is sent,
    // and data must hold that many bytes. Never waits: a send the system cannot take at once fails.
    int SendTo(std::uint32_t address, std::uint16_t port, const std::uint8_t* data, int length) const;

    // One datagram from the socket as it now is into the buffer, with its sender. Returns the length
    // (1 to 128), 0 for an empty datagram, -1 when nothing waits, the handle is -1, or the datagram was
    // longer than the buffer (it is consumed; its first 128 bytes stay in the buffer).
    // A read re-arms the notification.
    int ReadDatagram(FrameBuffer& buffer, sockaddr_in& sender);

    // The acknowledgement's send: the first (length AND 0xFF) bytes straight back to a sender the read
    // filled in.
    int SendToSender(const std::uint8_t* data, int length, const sockaddr_in& sender) const;

private:
    void OnReadable();

    int m_socket{INVALID_SOCKET};
    std::unique_ptr<QSocketNotifier> m_notifier;
    QPointer<QObject> m_window;
    int m_message{0};
};
