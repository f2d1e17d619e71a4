#pragma once

#include "protocol/result.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace veltrano {

// An IPv4 address and a UDP port, both in host byte order: the one way every layer above the sockets names
// a peer. Only the sockets and the pcap writer turn it into network order.
struct Endpoint
{
    std::uint32_t address{0};
    std::uint16_t port{0};

    friend bool operator==(const Endpoint&, const Endpoint&) = default;
    friend bool operator<(const Endpoint& a, const Endpoint& b)
    {
        return a.address != b.address ? a.address < b.address : a.port < b.port;
    }

    // "127.0.0.1:8015".
    std::string ToString() const;
};

inline constexpr std::uint32_t LOOPBACK_ADDRESS = 0x7F000001; // 127.0.0.1

// A dotted quad's digits, in the order written: Ipv4(127, 0, 0, 1).
constexpr std::uint32_t Ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}

// A dotted quad, "127.0.0.2", as an address in host byte order; the reason when the text is none.
[[nodiscard]] Result<std::uint32_t> ParseIpv4(std::string_view text);

// "ADDR:PORT" or "PORT" (then 127.0.0.1), ADDR a dotted quad: where an HTTP endpoint listens. Port 0 lets
// the system choose.
struct ListenAddress
{
    std::uint32_t address{0}; // host byte order
    std::uint16_t port{0};
};
[[nodiscard]] Result<ListenAddress> ParseListenAddress(std::string_view text);

// Success when the address may be sent to; otherwise why not: the zero address, a multicast one, the limited
// broadcast or one of `interfaceBroadcasts` (this machine's directed broadcast addresses).
[[nodiscard]] Status DestinationAllowed(std::uint32_t address,
                                        std::span<const std::uint32_t> interfaceBroadcasts);

} // namespace veltrano
