#pragma once

#include "protocol/endpoint.h"
#include "protocol/result.h"

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// "HOST:PORT" as the command-line companion takes it, and the IPv4 address behind a host name.

struct HostPort
{
    std::string host;
    std::uint16_t port{0};
};

// The text's host and port, or why it is not one: the host is a name or a dotted quad of letters, digits,
// '.', '-' and '_' (at most 253 characters), the port 1 to 65535 in decimal. Looks nothing up.
[[nodiscard]] veltrano::Result<HostPort> SplitHostPort(std::string_view text);

// The IPv4 address of a dotted quad or a name (getaddrinfo, AF_INET); the reason when there is none.
[[nodiscard]] veltrano::Result<std::uint32_t> ResolveIpv4(const std::string& host);

// The addresses of this machine's interfaces, and their directed broadcast addresses.
std::set<std::uint32_t> InterfaceAddresses();
std::vector<std::uint32_t> InterfaceBroadcastAddresses();

// SplitHostPort, ResolveIpv4 and DestinationAllowed in turn.
[[nodiscard]] veltrano::Result<veltrano::Endpoint> ResolveHostPort(std::string_view text);
