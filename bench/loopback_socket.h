#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include <netinet/in.h>

// A blocking UDP socket bound to 127.0.0.1 on a port the system picks. It only ever sends to 127.0.0.1,
// so nothing a bench does can leave the machine.
class LoopbackSocket final
{
public:
    LoopbackSocket();
    ~LoopbackSocket();
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    bool IsValid() const { return m_socket >= 0; }
    std::uint16_t Port() const { return m_port; } // host byte order

    // Fixes the peer: Send goes there and only its datagrams are received.
    bool ConnectTo(std::uint16_t port);
    void SetReceiveTimeout(std::chrono::microseconds timeout);
    // Beyond the system's limit when the process may do so.
    void SetBufferSizes(int bytes);

    bool Send(std::span<const std::uint8_t> bytes) const;
    bool SendTo(std::uint16_t port, std::span<const std::uint8_t> bytes) const;
    // Replies only to a loopback sender.
    bool Reply(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const;

    // The datagram's length, or -1 on timeout or failure. Waits up to the receive timeout.
    int Receive(std::span<std::uint8_t> buffer) const;
    int ReceiveFrom(std::span<std::uint8_t> buffer, sockaddr_in& from) const;
    // Without waiting.
    int TryReceive(std::span<std::uint8_t> buffer) const;
    bool WaitReadable(std::chrono::milliseconds timeout) const;

private:
    int m_socket{-1};
    std::uint16_t m_port{0};
};

// The port a socket is bound to, host byte order; 0 when unknown.
std::uint16_t BoundPort(int socket);
