#include "net/host_port.h"

#include "protocol/number_text.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>

using namespace veltrano;

namespace {

constexpr std::size_t MAX_HOST_LENGTH = 253;

bool IsHostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// The IPv4 address `pick` takes from each interface that has one, host byte order.
std::vector<std::uint32_t> InterfaceIpv4(const std::function<const sockaddr*(const ifaddrs&)>& pick)
{
    std::vector<std::uint32_t> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const sockaddr* picked = pick(*entry);
        if (picked == nullptr || picked->sa_family != AF_INET)
            continue;
        sockaddr_in address{};
        std::copy_n(reinterpret_cast<const std::uint8_t*>(picked), sizeof address,
                    reinterpret_cast<std::uint8_t*>(&address));
        addresses.push_back(ntohl(address.sin_addr.s_addr));
    }
    ::freeifaddrs(list);
    return addresses;
}

} // namespace

Result<HostPort> SplitHostPort(std::string_view text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return Failure("expected HOST:PORT");
    const std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (host.empty())
        return Failure("no host before ':'");
    if (host.size() > MAX_HOST_LENGTH || !std::all_of(host.begin(), host.end(), IsHostCharacter))
        return Failure("host is not a name or an IPv4 address");
    const auto value = ParseNumber<std::uint16_t>(port);
    if (!value || *value == 0)
        return Failure("port is not a number from 1 to 65535");
    return HostPort{std::string(host), *value};
}

Result<std::uint32_t> ResolveIpv4(const std::string& host)
{
    in_addr numeric{};
    if (::inet_pton(AF_INET, host.c_str(), &numeric) == 1)
        return ntohl(numeric.s_addr);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0 || found == nullptr)
        return Failure("cannot resolve " + host + ": " +
                       (status != 0 ? ::gai_strerror(status) : "no address"));
    sockaddr_in address{};
    std::copy_n(reinterpret_cast<const std::uint8_t*>(found->ai_addr), sizeof address,
                reinterpret_cast<std::uint8_t*>(&address));
    ::freeaddrinfo(found);
    return ntohl(address.sin_addr.s_addr);
}

std::set<std::uint32_t> InterfaceAddresses()
{
    const auto found = InterfaceIpv4([](const ifaddrs& entry) { return entry.ifa_addr; });
    return {found.begin(), found.end()};
}

std::vector<std::uint32_t> InterfaceBroadcastAddresses()
{
    return InterfaceIpv4([](const ifaddrs& entry) {
        return (entry.ifa_flags & IFF_BROADCAST) != 0 ? entry.ifa_broadaddr : nullptr;
    });
}

Result<Endpoint> ResolveHostPort(std::string_view text)
{
    const auto hostPort = SplitHostPort(text);
    if (!hostPort)
        return Failure(hostPort.error());
    const auto address = ResolveIpv4(hostPort->host);
    if (!address)
        return Failure(address.error());
    if (auto allowed = DestinationAllowed(*address, InterfaceBroadcastAddresses()); !allowed)
        return Failure(allowed.error());
    return Endpoint{*address, hostPort->port};
}
