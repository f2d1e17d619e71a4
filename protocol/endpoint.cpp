#include "protocol/endpoint.h"

#include "protocol/log_line.h"

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
