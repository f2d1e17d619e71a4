#include "tests/support/udp_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

UdpPeer::UdpPeer(std::uint16_t port)
{
    m_socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (m_socket < 0)
        return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = LoopbackAddress();
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(m_socket);
        m_socket = -1;
        return;
    }
    socklen_t len = sizeof addr;
    ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
}

UdpPeer::~UdpPeer()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

std::uint16_t UdpPeer::NetPort() const
{
    return htons(m_port);
}

bool UdpPeer::SendTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes) const
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = LoopbackAddress();
    const auto sent =
        ::sendto(m_socket, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == static_cast<ssize_t>(bytes.size());
}

std::optional<UdpPeer::Datagram> UdpPeer::Receive(std::chrono::milliseconds timeout)
{
    pollfd pfd{m_socket, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
        return std::nullopt;
    std::array<std::uint8_t, 65536> buffer{};
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const auto n = ::recvfrom(m_socket, buffer.data(), buffer.size(), MSG_DONTWAIT,
                              reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0)
        return std::nullopt;
    return Datagram{{buffer.begin(), buffer.begin() + n}, ntohs(from.sin_port)};
}

std::uint32_t LoopbackAddress()
{
    return htonl(INADDR_LOOPBACK);
}

std::uint16_t FreeUdpPort()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(s);
    return ntohs(addr.sin_port);
}
