#include "net/udp_endpoint.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

// Registered once so that no other event type of the process can collide with it.
const QEvent::Type CWindowMessageEvent::EventType = static_cast<QEvent::Type>(QEvent::registerEventType());

CWindowMessageEvent::CWindowMessageEvent(int message, std::uintptr_t wParam, std::intptr_t lParam)
    : QEvent(EventType), m_message(message), m_wParam(wParam), m_lParam(lParam)
{}

CUdpEndpoint::CUdpEndpoint() = default;

CUdpEndpoint::~CUdpEndpoint()
{
    Close();
}

bool CUdpEndpoint::Open(int port, QObject* window, int message)
{
    // A held socket stays as it is: replacing it would drop its binding and its notifications.
    if (m_socket != INVALID_SOCKET)
        return false;

    m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m_socket == INVALID_SOCKET)
        return false;

    const int flags = ::fcntl(m_socket, F_GETFL);
    if (flags == -1 || ::fcntl(m_socket, F_SETFL, flags | O_NONBLOCK) == -1) {
        ::close(m_socket);
        m_socket = INVALID_SOCKET;
        return false;
    }

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return false;

    // Without a window there is nobody to notify: open and bound, unregistered.
    if (window == nullptr)
        return false;
    m_window = window;
    m_message = message;
    m_notifier = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Read);
    if (!m_notifier->isValid()) {
        m_notifier.reset();
        return false;
    }
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [this] { OnReadable(); });
    return true;
}

int CUdpEndpoint::Close()
{
    if (m_socket == INVALID_SOCKET)
        return -1;
    // The notifier goes first: it must never watch a descriptor that is already closed.
    m_notifier.reset();
    m_window.clear();
    const int result = ::close(m_socket);
    m_socket = INVALID_SOCKET;
    return result;
}

int CUdpEndpoint::SendTo(std::uint32_t address, std::uint16_t port, const std::uint8_t* data,
                         int length) const
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = port;
    to.sin_addr.s_addr = address;
    const auto size = static_cast<std::size_t>(length & 0xFF);
    return static_cast<int>(
        ::sendto(m_socket, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

int CUdpEndpoint::ReadDatagram(FrameBuffer& buffer, sockaddr_in& sender)
{
    socklen_t senderLength = sizeof sender;
    // MSG_TRUNC makes the read report the datagram's real length, so a cut one is recognised.
    const auto received = ::recvfrom(m_socket, buffer.data(), buffer.size(), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (m_notifier)
        m_notifier->setEnabled(true);
    if (received < 0 || static_cast<std::size_t>(received) > buffer.size())
        return -1;
    return static_cast<int>(received);
}

int CUdpEndpoint::SendToSender(const std::uint8_t* data, int length, const sockaddr_in& sender) const
{
    const auto size = static_cast<std::size_t>(length & 0xFF);
    return static_cast<int>(::sendto(m_socket, data, size, MSG_NOSIGNAL,
                                     reinterpret_cast<const sockaddr*>(&sender), sizeof sender));
}

void CUdpEndpoint::OnReadable()
{
    // One notification per read: the next one waits until ReadDatagram re-arms the notifier.
    m_notifier->setEnabled(false);
    if (!m_window)
        return;
    QCoreApplication::postEvent(m_window.data(),
                                new CWindowMessageEvent(m_message, static_cast<std::uintptr_t>(m_socket),
                                                        MakeSelectLParam(FD_READ, 0)));
}
