#include "net/udp_endpoint.h"

#include <QSocketNotifier>
#include <QTimer>
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

CUdpEndpoint::CUdpEndpoint(QObject* parent) : QObject(parent)
{
    m_wake.setSingleShot(true);
    connect(&m_wake, &QTimer::timeout, this, &CUdpEndpoint::OnActivated);
}

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
    // Dropped with the socket, as any datagram still queued there.
    m_holding = false;
    m_aheadCount = 0;
    m_next = 0;
    m_wake.stop();
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
    m_awaitingRead = false;
    if (m_notifier)
        m_notifier->setEnabled(true);
    if (!m_holding && !TakeNext())
        return result;
    m_holding = false;
    const Held& held = m_ahead[m_next - 1];
    CopyFrameBytes(buffer.data(), held.bytes.data(), std::min(held.size, buffer.size()));
    WakeForReadAhead();
    if (held.size > buffer.size())
        return result;
    result.length = static_cast<int>(held.size);
    result.sender = held.sender;
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
    if (!TakeNext())
        return false;
    m_holding = true;
    m_linger.Arrived();
    return true;
}

bool CUdpEndpoint::TakeNext()
{
    if (m_next < m_aheadCount) {
        ++m_next;
        return true;
    }
    if (m_socket == INVALID_SOCKET)
        return false;
    std::array<mmsghdr, READ_AHEAD> headers{};
    std::array<iovec, READ_AHEAD> vectors{};
    std::array<sockaddr_in, READ_AHEAD> senders{};
    for (std::size_t i = 0; i < READ_AHEAD; ++i) {
        vectors[i] = {m_ahead[i].bytes.data(), m_ahead[i].bytes.size()};
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_name = &senders[i];
        headers[i].msg_hdr.msg_namelen = sizeof senders[i];
    }
    // MSG_TRUNC makes each length the datagram's real one, so a cut one is recognised.
    const int received = ::recvmmsg(m_socket, headers.data(), READ_AHEAD, MSG_TRUNC, nullptr);
    if (received <= 0)
        return false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(received); ++i) {
        m_ahead[i].size = headers[i].msg_len;
        m_ahead[i].sender = {ntohl(senders[i].sin_addr.s_addr), ntohs(senders[i].sin_port)};
    }
    m_aheadCount = static_cast<std::size_t>(received);
    m_next = 1;
    return true;
}

void CUdpEndpoint::WakeForReadAhead()
{
    if (m_next < m_aheadCount && !m_awaitingRead && !m_signalling && !m_wake.isActive())
        m_wake.start(0);
}

void CUdpEndpoint::OnActivated()
{
    // One signal per read. A receiver that reads at once leaves the notifier armed, which spares the event
    // loop a deregistration and a registration per datagram; until a read, the notifier rests, also when a
    // nested event loop sees the datagram again.
    if (m_awaitingRead) {
        if (m_notifier)
            m_notifier->setEnabled(false);
        return;
    }
    // A return to the event loop per datagram costs a poll and a wake-up: a few more go while they wait.
    // Each is taken off the socket before its signal, which tells whether one waits at no extra cost.
    int signalled = 0;
    const auto hold = [this] { return Hold(); };
    m_signalling = true;
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
    m_signalling = false;
    if (signalled > 0)
        Q_EMIT SignalsDone();
    WakeForReadAhead();
}
