#include "net/session_sockets.h"

#include "net/udp_segments.h"

#include "protocol/frame.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

using namespace veltrano;

namespace {

// The largest datagram plus one, so that a longer one shows as truncated.
constexpr std::size_t BUFFER_SIZE = MAX_UDP_PAYLOAD + 1;
constexpr int EVENTS_PER_WAIT = 256;

sockaddr_in SocketAddressOf(const Endpoint& endpoint)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

// Messages taken from a socket in one system call at most.
constexpr unsigned RECEIVE_BATCH = 16;

struct alignas(cmsghdr) ReceiveOption
{
    std::uint8_t bytes[RECEIVED_SEGMENT_OPTION_SPACE];
};

} // namespace

SessionSockets::SessionSockets()
    : m_buffer(std::make_unique_for_overwrite<std::uint8_t[]>(BUFFER_SIZE * RECEIVE_BATCH))
{}

SessionSockets::~SessionSockets()
{
    for (std::uint32_t slot = 0; slot < m_fds.size(); ++slot)
        Close(slot);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

Status SessionSockets::Init()
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0)
        return Failure(std::string("cannot make an epoll set: ") + std::strerror(errno));
    return {};
}

Status SessionSockets::Open(std::uint32_t slot, std::uint32_t source, const Endpoint& peer, int receiveBuffer)
{
    if (slot >= m_fds.size())
        m_fds.resize(slot + 1, -1);
    Close(slot);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return Failure(std::string("cannot create a UDP socket: ") + std::strerror(errno));
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    // A centre that answers a burst as one segmented run is read in one piece; refused, it comes split.
    AcceptSegmentRuns(fd);
    const sockaddr_in local = SocketAddressOf({source, 0});
    const sockaddr_in remote = SocketAddressOf(peer);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = slot;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 ||
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        const int error = errno;
        ::close(fd);
        return Failure(std::string("cannot open a socket to ") + peer.ToString() + ": " +
                       std::strerror(error));
    }
    m_fds[slot] = fd;
    return {};
}

void SessionSockets::Close(std::uint32_t slot)
{
    if (!IsOpen(slot))
        return;
    // Closing takes the socket out of the set.
    ::close(m_fds[slot]);
    m_fds[slot] = -1;
}

Endpoint SessionSockets::LocalAddress(std::uint32_t slot) const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (!IsOpen(slot) || ::getsockname(m_fds[slot], reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return {};
    return {ntohl(local.sin_addr.s_addr), ntohs(local.sin_port)};
}

void SessionSockets::SendEach(std::uint32_t slot, std::span<const std::span<const std::uint8_t>> datagrams,
                              const OnSent& sent)
{
    // Messages of one system call; a run of datagrams of one size is one message (a session's burst of
    // frames), which the kernel routes and queues once.
    constexpr std::size_t BATCH = 64;
    struct alignas(cmsghdr) Option
    {
        std::uint8_t bytes[SEGMENT_OPTION_SPACE];
    };
    std::array<mmsghdr, BATCH> headers{};
    std::array<iovec, BATCH> parts{};
    std::array<Option, BATCH> options{};
    std::array<std::size_t, BATCH> runs{};
    const auto sizeOf = [&](std::size_t i) { return datagrams[i].size(); };
    for (std::size_t done = 0; done < datagrams.size();) {
        if (!IsOpen(slot)) {
            sent(done++, EBADF);
            continue;
        }
        std::size_t messages = 0;
        for (std::size_t next = done, part = 0; next < datagrams.size() && part < BATCH; ++messages) {
            const std::size_t run = std::min(
                m_segmentation ? SegmentRun(next, datagrams.size(), sizeOf, [](std::size_t) { return true; })
                               : 1,
                BATCH - part);
            for (std::size_t k = 0; k < run; ++k) {
                const auto bytes = datagrams[next + k];
                // sendmmsg only reads the buffers.
                parts[part + k] = {const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
            }
            msghdr& header = headers[messages].msg_hdr;
            header = {};
            header.msg_iov = &parts[part];
            header.msg_iovlen = run;
            if (run > 1) {
                header.msg_control = options[messages].bytes;
                header.msg_controllen = sizeof options[messages].bytes;
                header.msg_controllen =
                    WriteSegmentSize(CMSG_FIRSTHDR(&header), static_cast<std::uint16_t>(sizeOf(next)));
            }
            runs[messages] = run;
            part += run;
            next += run;
        }
        const int went = ::sendmmsg(m_fds[slot], headers.data(), static_cast<unsigned>(messages), 0);
        if (went <= 0) {
            const int error = went < 0 ? errno : EIO;
            if (m_segmentation && runs[0] > 1 && RefusesSegments(error)) {
                m_segmentation = false;
                continue;
            }
            // The first datagram's error; the rest are tried again after it.
            sent(done++, error);
            continue;
        }
        for (int m = 0; m < went; ++m)
            for (std::size_t k = 0; k < runs[static_cast<std::size_t>(m)]; ++k)
                sent(done++, 0);
    }
}

std::size_t SessionSockets::Drain(const OnReceived& received, std::size_t limit)
{
    std::array<epoll_event, EVENTS_PER_WAIT> events{};
    std::size_t count = 0;
    // A share at most from each socket a round, so one busy socket cannot starve the rest; another round
    // while any socket had more than its share, since the wake that brought us here may be the only one.
    constexpr int READS_PER_SOCKET = 64;
    bool more = true;
    while (more && count < limit) {
        more = false;
        const int ready = ::epoll_wait(m_epoll, events.data(), EVENTS_PER_WAIT, 0);
        if (ready <= 0)
            break;
        for (int i = 0; i < ready; ++i) {
            const std::uint32_t slot = events[static_cast<std::size_t>(i)].data.u32;
            int k = 0;
            while (k < READS_PER_SOCKET && IsOpen(slot)) {
                std::array<mmsghdr, RECEIVE_BATCH> headers{};
                std::array<iovec, RECEIVE_BATCH> parts{};
                std::array<ReceiveOption, RECEIVE_BATCH> options;
                for (unsigned j = 0; j < RECEIVE_BATCH; ++j) {
                    parts[j] = {m_buffer.get() + j * BUFFER_SIZE, BUFFER_SIZE};
                    msghdr& header = headers[j].msg_hdr;
                    header.msg_iov = &parts[j];
                    header.msg_iovlen = 1;
                    header.msg_control = options[j].bytes;
                    header.msg_controllen = sizeof options[j].bytes;
                }
                // MSG_TRUNC: each length is the datagram's real size, however much the buffer held.
                const int got = ::recvmmsg(m_fds[slot], headers.data(), RECEIVE_BATCH, MSG_TRUNC, nullptr);
                if (got < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK)
                        ++m_receiveErrors;
                    break;
                }
                for (int j = 0; j < got; ++j) {
                    mmsghdr& message = headers[static_cast<std::size_t>(j)];
                    const std::uint8_t* start = m_buffer.get() + static_cast<std::size_t>(j) * BUFFER_SIZE;
                    // A run's parts each a datagram; a lone datagram's real size may pass the buffer.
                    const std::size_t segment = ReceivedSegmentSize(message.msg_hdr);
                    ForEachSegment(
                        segment == 0 ? message.msg_len : std::min<std::size_t>(message.msg_len, BUFFER_SIZE),
                        segment, [&](std::size_t offset, std::size_t size) {
                            received(slot, {start + offset, std::min(size, BUFFER_SIZE - offset)}, size);
                            ++count;
                        });
                }
                k += got;
                if (got < static_cast<int>(RECEIVE_BATCH))
                    break; // emptied
            }
            more = more || k >= READS_PER_SOCKET;
        }
        more = more || ready == EVENTS_PER_WAIT;
    }
    return count;
}

std::uint64_t RaiseOpenFileLimit(std::uint64_t needed)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur >= needed)
        return limit.rlim_cur;
    rlimit raised = limit;
    raised.rlim_cur = needed;
    raised.rlim_max = std::max<rlim_t>(limit.rlim_max, needed);
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
        return needed;
    raised.rlim_cur = std::min<rlim_t>(needed, limit.rlim_max);
    raised.rlim_max = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
        return raised.rlim_cur;
    return limit.rlim_cur;
}
