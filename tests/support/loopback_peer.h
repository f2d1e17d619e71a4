#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/endpoint.h"

#include <netinet/in.h>

// A blocking UDP socket bound to 127.0.0.1: the far side of whatever a test, bench or fuzzer drives. It only
// ever sends to 127.0.0.1, so nothing it does can leave the machine.
class LoopbackPeer final
{
public:
    // Binds 127.0.0.1 (127.0.0.N with `lastByte` N) on the given port (0: one the system picks).
    explicit LoopbackPeer(std::uint16_t port = 0, std::uint8_t lastByte = 1);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool IsValid() const { return m_socket >= 0; }
    int Handle() const { return m_socket; }
    std::uint16_t Port() const { return m_port; } // host byte order

    bool SendTo(std::uint16_t port, std::span<const std::uint8_t> bytes) const;
    // `bytes` as one segmented message: datagrams of `segment` bytes, the last the rest.
    bool SendRunTo(std::uint16_t port, std::span<const std::uint8_t> bytes, std::uint16_t segment) const;
    // Replies only to a loopback sender.
    bool Reply(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const;

    struct Datagram
    {
        std::vector<std::uint8_t> bytes;
        std::uint16_t fromPort{0}; // host byte order
    };
    // Waits up to the timeout without running any event loop.
    std::optional<Datagram>
    Receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;
    // Whatever is already queued, without waiting.
    std::optional<Datagram> TryReceive() const { return Receive(std::chrono::milliseconds(0)); }

    // For load clients: a fixed peer, timeouts and buffer sizes, reads into a caller's buffer.
    bool ConnectTo(std::uint16_t port);
    void SetReceiveTimeout(std::chrono::microseconds timeout);
    // Beyond the system's limit when the process may do so.
    void SetBufferSizes(int bytes);
    bool Send(std::span<const std::uint8_t> bytes) const;
    // The datagram's length, or -1 on timeout or failure; waits up to the receive timeout.
    int ReceiveInto(std::span<std::uint8_t> buffer) const;
    int ReceiveFrom(std::span<std::uint8_t> buffer, sockaddr_in& from) const;
    // Without waiting.
    int TryReceiveInto(std::span<std::uint8_t> buffer) const;
    bool WaitReadable(std::chrono::milliseconds timeout) const;

private:
    int m_socket{-1};
    std::uint16_t m_port{0};
};

// The port a socket is bound to, host byte order; 0 when unknown.
std::uint16_t BoundPort(int socket);
// A port that is free right now on all interfaces (host byte order).
std::uint16_t FreeUdpPort();
// Network-order loopback address.
std::uint32_t LoopbackAddress();
