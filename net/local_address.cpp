#include "net/local_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Any port will do: connecting a UDP socket only picks the route.
constexpr std::uint16_t PROBE_PORT = 9;

} // namespace

std::optional<std::uint32_t> LocalAddressToward(std::uint32_t peer)
{
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (probe < 0)
        return std::nullopt;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(PROBE_PORT);
    remote.sin_addr.s_addr = htonl(peer);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool found = ::connect(probe, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0 &&
                       ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    ::close(probe);
    if (!found)
        return std::nullopt;
    return ntohl(local.sin_addr.s_addr);
}
