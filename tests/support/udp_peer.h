#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include <netinet/in.h>

// A plain UDP socket on 127.0.0.1 for tests: the far side of the endpoint under test.
class UdpPeer final
{
public:
    // Binds 127.0.0.1 on the given port (0: one the system picks).
    explicit UdpPeer(std::uint16_t port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool IsValid() const { return m_socket >= 0; }
    std::uint16_t Port() const { return m_port; } // host byte order
    // Network-order port, as ResolveDestination would give it.
    std::uint16_t NetPort() const;

    bool SendTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes) const;

    struct Datagram
    {
        std::vector<std::uint8_t> bytes;
        std::uint16_t fromPort{0}; // host byte order
    };
    // Waits up to the timeout without running any event loop.
    std::optional<Datagram> Receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // Whatever is already queued, without waiting.
    std::optional<Datagram> TryReceive() { return Receive(std::chrono::milliseconds(0)); }

private:
    int m_socket{-1};
    std::uint16_t m_port{0};
};

// Network-order loopback address.
std::uint32_t LoopbackAddress();
// A port that is free right now on 127.0.0.1 and all interfaces (host byte order).
std::uint16_t FreeUdpPort();
