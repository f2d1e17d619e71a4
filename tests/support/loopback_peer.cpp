#include "tests/support/loopback_peer.h"

#include "net/udp_segments.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>

using namespace veltrano;

namespace {

sockaddr_in LoopbackTo(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int Length(ssize_t result)
{
    return result < 0 ? -1 : static_cast<int>(result);
}

bool SentAll(ssize_t result, std::size_t size)
{
    return result == static_cast<ssize_t>(size);
}

} // namespace

LoopbackPeer::LoopbackPeer(std::uint16_t port, std::uint8_t lastByte)
{
    m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m_socket < 0)
        return;
    sockaddr_in local = LoopbackTo(port);
    local.sin_addr.s_addr = htonl(Ipv4(127, 0, 0, lastByte));
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(m_socket);
        m_socket = -1;
        return;
    }
    m_port = BoundPort(m_socket);
}

LoopbackPeer::~LoopbackPeer()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

bool LoopbackPeer::SendTo(std::uint16_t port, std::span<const std::uint8_t> bytes) const
{
    const sockaddr_in to = LoopbackTo(port);
    return SentAll(::sendto(m_socket, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&to), sizeof to),
                   bytes.size());
}

bool LoopbackPeer::SendRunTo(std::uint16_t port, std::span<const std::uint8_t> bytes,
                             std::uint16_t segment) const
{
    sockaddr_in to = LoopbackTo(port);
    iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) std::uint8_t option[SEGMENT_OPTION_SPACE];
    msghdr header{};
    header.msg_name = &to;
    header.msg_namelen = sizeof to;
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = option;
    header.msg_controllen = sizeof option;
    header.msg_controllen = WriteSegmentSize(CMSG_FIRSTHDR(&header), segment);
    return SentAll(::sendmsg(m_socket, &header, MSG_NOSIGNAL), bytes.size());
}

bool LoopbackPeer::Reply(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const
{
    if (to.sin_family != AF_INET || to.sin_addr.s_addr != htonl(INADDR_LOOPBACK))
        return false;
    return SentAll(::sendto(m_socket, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&to), sizeof to),
                   bytes.size());
}

std::optional<LoopbackPeer::Datagram> LoopbackPeer::Receive(std::chrono::milliseconds timeout) const
{
    if (!WaitReadable(timeout))
        return std::nullopt;
    std::array<std::uint8_t, 65536> buffer{};
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const auto n = ::recvfrom(m_socket, buffer.data(), buffer.size(), MSG_DONTWAIT,
                              reinterpret_cast<sockaddr*>(&from), &size);
    if (n < 0)
        return std::nullopt;
    return Datagram{{buffer.begin(), buffer.begin() + n}, ntohs(from.sin_port)};
}

bool LoopbackPeer::ConnectTo(std::uint16_t port)
{
    const sockaddr_in peer = LoopbackTo(port);
    return ::connect(m_socket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0;
}

void LoopbackPeer::SetReceiveTimeout(std::chrono::microseconds timeout)
{
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
    value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000000);
    ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

void LoopbackPeer::SetBufferSizes(int bytes)
{
    for (const int option : {SO_RCVBUFFORCE, SO_SNDBUFFORCE})
        ::setsockopt(m_socket, SOL_SOCKET, option, &bytes, sizeof bytes);
    // Unprivileged, the forced options fail; these then give what the system allows.
    for (const int option : {SO_RCVBUF, SO_SNDBUF}) {
        int current = 0;
        socklen_t size = sizeof current;
        if (::getsockopt(m_socket, SOL_SOCKET, option, &current, &size) == 0 && current < bytes)
            ::setsockopt(m_socket, SOL_SOCKET, option, &bytes, sizeof bytes);
    }
}

bool LoopbackPeer::Send(std::span<const std::uint8_t> bytes) const
{
    return SentAll(::send(m_socket, bytes.data(), bytes.size(), MSG_NOSIGNAL), bytes.size());
}

int LoopbackPeer::ReceiveInto(std::span<std::uint8_t> buffer) const
{
    return Length(::recv(m_socket, buffer.data(), buffer.size(), 0));
}

int LoopbackPeer::ReceiveFrom(std::span<std::uint8_t> buffer, sockaddr_in& from) const
{
    socklen_t size = sizeof from;
    return Length(
        ::recvfrom(m_socket, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &size));
}

int LoopbackPeer::TryReceiveInto(std::span<std::uint8_t> buffer) const
{
    return Length(::recv(m_socket, buffer.data(), buffer.size(), MSG_DONTWAIT));
}

bool LoopbackPeer::WaitReadable(std::chrono::milliseconds timeout) const
{
    pollfd readable{m_socket, POLLIN, 0};
    return ::poll(&readable, 1, static_cast<int>(timeout.count())) > 0;
}

std::uint16_t BoundPort(int socket)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (socket < 0 || ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    return ntohs(address.sin_port);
}

std::uint16_t FreeUdpPort()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    const std::uint16_t port = BoundPort(s);
    ::close(s);
    return port;
}

std::uint32_t LoopbackAddress()
{
    return LOOPBACK_ADDRESS;
}
