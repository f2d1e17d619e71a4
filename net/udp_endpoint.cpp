#include "net/udp_endpoint.h"

#include <QSocketNotifier>
#include <QtGlobal>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

using namespace veltrano;

std::int64_t WallClockUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

FrameTime FrameClock::Now()
{
    using namespace std::chrono;
    const steady_clock::time_point mono = steady_clock::now();
    if (!m_synced || mono - m_syncedAt >= RESYNC_PERIOD)
        Resync(mono);
    const nanoseconds wall = duration_cast<nanoseconds>(mono.time_since_epoch()) + m_wallMinusMono;
    return {duration_cast<microseconds>(wall).count(), mono};
}

void FrameClock::Resync(std::chrono::steady_clock::time_point before)
{
    using namespace std::chrono;
    // The wall clock read between two monotonic readings, against their midpoint. A thread interrupted
    // between them widens the pair: it reads again, and the narrowest pair counts.
    constexpr int ATTEMPTS = 3;
    constexpr nanoseconds NARROW{2000};
    nanoseconds narrowest = nanoseconds::max();
    for (int attempt = 0; attempt < ATTEMPTS && narrowest > NARROW; ++attempt) {
        if (attempt > 0)
            before = steady_clock::now();
        const auto wall = system_clock::now().time_since_epoch();
        const nanoseconds width = duration_cast<nanoseconds>(steady_clock::now() - before);
        if (width < narrowest) {
            narrowest = width;
            m_wallMinusMono = duration_cast<nanoseconds>(wall - (before.time_since_epoch() + width / 2));
        }
    }
    m_syncedAt = before;
    m_synced = true;
}

CUdpEndpoint::CUdpEndpoint(QObject* parent) : QObject(parent) {}

CUdpEndpoint::~CUdpEndpoint()
{
    Close();
}

bool CUdpEndpoint::Open(int port)
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

    m_notifier = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &CUdpEndpoint::OnActivated);
    return true;
}

int CUdpEndpoint::Close()
{
    if (m_socket == INVALID_SOCKET)
        return -1;
    // The notifier goes first: it must never watch a descriptor that is already closed.
    m_notifier.reset();
    m_awaitingRead = false;
    m_holding = false; // dropped with the socket, as any datagram still queued there
    const int result = ::close(m_socket);
    m_socket = INVALID_SOCKET;
    return result;
}

std::uint16_t CUdpEndpoint::LocalPort() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (m_socket == INVALID_SOCKET ||
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

SendResult CUdpEndpoint::SendTo(const Endpoint& to, std::span<const std::uint8_t> bytes) const
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(to.port);
    address.sin_addr.s_addr = htonl(to.address);
    const auto size = bytes.size() & 0xFF;
    const auto sent = ::sendto(m_socket, bytes.data(), size, MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (sent < 0)
        return {-1, errno};
    return {static_cast<int>(sent), 0};
}

ReadResult CUdpEndpoint::ReadDatagram(FrameBuffer& buffer)
{
    ReadResult result;
    std::size_t size = 0;
    Endpoint from;
    m_awaitingRead = false;
    if (m_notifier)
        m_notifier->setEnabled(true);
    if (m_holding) {
        m_holding = false;
        size = m_held.size;
        from = m_held.sender;
        CopyFrameBytes(buffer.data(), m_held.bytes.data(), std::min(size, buffer.size()));
    } else {
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        // MSG_TRUNC makes the read report the datagram's real length, so a cut one is recognised.
        const auto received = ::recvfrom(m_socket, buffer.data(), buffer.size(), MSG_TRUNC,
                                         reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (received < 0)
            return result;
        size = static_cast<std::size_t>(received);
        from = {ntohl(sender.sin_addr.s_addr), ntohs(sender.sin_port)};
    }
    if (size > buffer.size())
        return result;
    result.length = static_cast<int>(size);
    result.sender = from;
    const FrameTime now = m_clock.Now();
    result.timeUs = now.wallUs;
    result.at = now.mono;
    return result;
}

void CUdpEndpoint::PreferPollDispatcher()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

bool CUdpEndpoint::Hold()
{
    if (m_holding)
        return true; // never replaced before its read
    if (m_socket == INVALID_SOCKET)
        return false;
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    const auto received = ::recvfrom(m_socket, m_held.bytes.data(), m_held.bytes.size(), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (received < 0)
        return false;
    m_held.size = static_cast<std::size_t>(received);
    m_held.sender = {ntohl(sender.sin_addr.s_addr), ntohs(sender.sin_port)};
    m_holding = true;
    m_linger.Arrived();
    return true;
}

void CUdpEndpoint::OnActivated()
{
    // One signal per read. A receiver that reads at once leaves the notifier armed, which spares the event
    // loop a deregistration and a registration per datagram; until a read, the notifier rests, also when a
    // nested event loop sees the datagram again.
    if (m_awaitingRead) {
        m_notifier->setEnabled(false);
        return;
    }
    // A return to the event loop per datagram costs a poll and a wake-up: a few more go while they wait.
    // Each is taken off the socket before its signal, which tells whether one waits at no extra cost.
    int signalled = 0;
    const auto hold = [this] { return Hold(); };
    // After the first, the wait asks at once and then for as long as the Linger allows.
    while (signalled < SIGNALS_PER_WAKE && (signalled == 0 ? Hold() : m_linger.Wait(hold))) {
        ++signalled;
        m_awaitingRead = true;
        Q_EMIT DatagramWaiting();
        // Not read yet, or closed meanwhile: the next signal waits for a read, or never comes.
        if (m_awaitingRead || !m_notifier)
            break;
    }
    if (m_awaitingRead && m_notifier)
        m_notifier->setEnabled(false);
    if (signalled > 0)
        Q_EMIT SignalsDone();
}
