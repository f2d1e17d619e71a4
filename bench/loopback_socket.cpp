#include "bench/loopback_socket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

sockaddr_in LoopbackAddress(std::uint16_t port)
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

} // namespace

LoopbackSocket::LoopbackSocket()
{
    m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m_socket < 0)
        return;
    const sockaddr_in local = LoopbackAddress(0);
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(m_socket);
        m_socket = -1;
        return;
    }
    m_port = BoundPort(m_socket);
}

LoopbackSocket::~LoopbackSocket()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

bool LoopbackSocket::ConnectTo(std::uint16_t port)
{
    const sockaddr_in peer = LoopbackAddress(port);
    return ::connect(m_socket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0;
}

void LoopbackSocket::SetReceiveTimeout(std::chrono::microseconds timeout)
{
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
    value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000000);
    ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

void LoopbackSocket::SetBufferSizes(int bytes)
{
    for (const int option : {SO_RCVBUFFORCE, SO_SNDBUFFORCE})
        ::setsockopt(m_socket, SOL_SOCKET, option, &bytes, sizeof bytes);
    // Unprivileged, the forced options fail; these then give what the system allows.
    int current = 0;
    socklen_t size = sizeof current;
    if (::getsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &current, &size) == 0 && current < bytes)
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    if (::getsockopt(m_socket, SOL_SOCKET, SO_SNDBUF, &current, &size) == 0 && current < bytes)
        ::setsockopt(m_socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

bool LoopbackSocket::Send(std::span<const std::uint8_t> bytes) const
{
    return ::send(m_socket, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool LoopbackSocket::SendTo(std::uint16_t port, std::span<const std::uint8_t> bytes) const
{
    const sockaddr_in to = LoopbackAddress(port);
    return ::sendto(m_socket, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to) == static_cast<ssize_t>(bytes.size());
}

bool LoopbackSocket::Reply(std::span<const std::uint8_t> bytes, const sockaddr_in& to) const
{
    if (to.sin_family != AF_INET || to.sin_addr.s_addr != htonl(INADDR_LOOPBACK))
        return false;
    return ::sendto(m_socket, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to) == static_cast<ssize_t>(bytes.size());
}

int LoopbackSocket::Receive(std::span<std::uint8_t> buffer) const
{
    return Length(::recv(m_socket, buffer.data(), buffer.size(), 0));
}

int LoopbackSocket::ReceiveFrom(std::span<std::uint8_t> buffer, sockaddr_in& from) const
{
    socklen_t size = sizeof from;
    return Length(
        ::recvfrom(m_socket, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &size));
}

int LoopbackSocket::TryReceive(std::span<std::uint8_t> buffer) const
{
    return Length(::recv(m_socket, buffer.data(), buffer.size(), MSG_DONTWAIT));
}

bool LoopbackSocket::WaitReadable(std::chrono::milliseconds timeout) const
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
