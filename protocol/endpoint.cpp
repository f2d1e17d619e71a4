#include "protocol/endpoint.h"

#include "protocol/log_line.h"
#include "protocol/number_text.h"

#include <arpa/inet.h>

#include <algorithm>

namespace veltrano {

std::string Endpoint::ToString() const
{
    return FormatPeer(address, port);
}

Result<std::uint32_t> ParseIpv4(std::string_view text)
{
    in_addr address{};
    const std::string copy(text);
    if (::inet_pton(AF_INET, copy.c_str(), &address) != 1)
        return Failure(Quoted(copy) + " is not an IPv4 address");
    // Network order is the order the quad is written in.
    const auto* quad = reinterpret_cast<const std::uint8_t*>(&address.s_addr);
    return Ipv4(quad[0], quad[1], quad[2], quad[3]);
}

Result<ListenAddress> ParseListenAddress(std::string_view text)
{
    const auto colon = text.rfind(':');
    ListenAddress listen{LOOPBACK_ADDRESS, 0};
    if (colon != std::string_view::npos) {
        auto address = ParseIpv4(text.substr(0, colon));
        if (!address)
            return Failure(address.error());
        listen.address = *address;
    }
    const std::string_view portText = colon == std::string_view::npos ? text : text.substr(colon + 1);
    const auto port = ParseNumber<std::uint16_t>(portText);
    if (!port)
        return Failure("port " + Quoted(portText) + " is not a number from 0 to 65535");
    listen.port = *port;
    return listen;
}

Status DestinationAllowed(std::uint32_t address, std::span<const std::uint32_t> interfaceBroadcasts)
{
    if (address == 0)
        return Failure("0.0.0.0 is no destination");
    if (address == INADDR_BROADCAST ||
        std::find(interfaceBroadcasts.begin(), interfaceBroadcasts.end(), address) != interfaceBroadcasts.end())
        return Failure("refusing to send to a broadcast address");
    if ((address >> 28) == 0xE)
        return Failure("refusing to send to a multicast address");
    return {};
}

} // namespace veltrano
