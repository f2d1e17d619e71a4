#include "net/batch_udp_socket.h"

#include "net/udp_segments.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace veltrano;

struct BatchUdpSocket::Buffers
{
    // A datagram lands in two pieces: its first HEAD_SIZE bytes in a dense array of heads, the rest in its
    // message's slot, just past the room for its head. A frame fits its head, so a full batch of them makes
    // HEAD_SIZE bytes per message resident, not a page of a slot each; a longer datagram is made whole in its
    // slot. The slots are left uninitialised, so only the pages such datagrams write to are resident.
    explicit Buffers(std::size_t batch)
        : heads(std::make_unique_for_overwrite<std::uint8_t[]>(batch * HEAD_SIZE)),
          data(std::make_unique_for_overwrite<std::uint8_t[]>(batch * SLOT_SIZE)), headers(batch),
          vectors(batch), receiveVectors(2 * batch), names(batch), controls(batch)
    {
        for (std::size_t i = 0; i < batch; ++i) {
            receiveVectors[2 * i] = {heads.get() + i * HEAD_SIZE, HEAD_SIZE};
            receiveVectors[2 * i + 1] = {data.get() + i * SLOT_SIZE + HEAD_SIZE, SLOT_SIZE - HEAD_SIZE};
        }
    }

    // The bytes of the datagram of `size` that message i received, whole; at most SLOT_SIZE of them.
    std::span<const std::uint8_t> Datagram(std::size_t i, std::size_t size)
    {
        std::uint8_t* head = heads.get() + i * HEAD_SIZE;
        if (size <= HEAD_SIZE)
            return {head, size};
        std::uint8_t* slot = data.get() + i * SLOT_SIZE;
        std::memcpy(slot, head, HEAD_SIZE);
        return {slot, std::min(size, SLOT_SIZE)};
    }

    // Room for IP_PKTINFO and a run's segment size on receive, IP_PKTINFO and UDP_SEGMENT on send.
    struct alignas(cmsghdr) Control
    {
        std::uint8_t bytes[CMSG_SPACE(sizeof(in_pktinfo)) +
                           std::max(SEGMENT_OPTION_SPACE, RECEIVED_SEGMENT_OPTION_SPACE)];
    };

    std::unique_ptr<std::uint8_t[]> heads;
    std::unique_ptr<std::uint8_t[]> data;
    std::vector<mmsghdr> headers;
    std::vector<iovec> vectors;        // a send's, one per datagram
    std::vector<iovec> receiveVectors; // a head and a slot's rest per message, set once
    std::vector<sockaddr_in> names;
    std::vector<Control> controls;
    std::vector<std::size_t> runs; // datagrams per message of a send
};

namespace {

std::string Describe(const char* what, const Endpoint& where, int error)
{
    return std::string("cannot ") + what + ' ' + where.ToString() + ": " + std::strerror(error);
}

sockaddr_in SocketAddress(const Endpoint& endpoint)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(endpoint.address);
    result.sin_port = htons(endpoint.port);
    return result;
}

Endpoint EndpointOf(const sockaddr_in& address)
{
    return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

} // namespace

BatchUdpSocket::BatchUdpSocket(std::size_t batch)
    : m_batch(batch == 0 ? 1 : batch), m_dirty(m_batch), m_buffers(std::make_unique<Buffers>(m_batch))
{
    m_received.reserve(m_batch);
}

BatchUdpSocket::~BatchUdpSocket()
{
    Close();
}

void BatchUdpSocket::Close()
{
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    m_connected = false;
}

Status BatchUdpSocket::Open(const Options& options)
{
    if (m_socket >= 0)
        return Failure("socket already open");
    m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m_socket < 0)
        return Failure(std::string("cannot create a UDP socket: ") + std::strerror(errno));

    // Beyond rmem_max needs CAP_NET_ADMIN; without it the plain option gives what the limit allows.
    const int size = options.receiveBuffer;
    if (::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (::setsockopt(m_socket, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(m_socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    const int on = 1;
    // The local address of each datagram is needed only where the bound one does not tell it. Nothing else
    // comes as a control message on every datagram: each costs the kernel a copy on every receive (a run's
    // segment size comes only with a run).
    m_packetInfo = options.bindAddress == 0 && !options.peer;
    if (m_packetInfo && ::setsockopt(m_socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        const int error = errno;
        Close();
        return Failure(std::string("cannot set socket options: ") + std::strerror(error));
    }
    // A peer's segmented run is read in one piece and cut here; where refused, the kernel cuts it.
    m_acceptsRuns = AcceptSegmentRuns(m_socket);

    const sockaddr_in local = SocketAddress({options.bindAddress, options.port});
    if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        Close();
        return Failure(Describe("bind", {options.bindAddress, options.port}, error));
    }
    if (options.peer) {
        const sockaddr_in peer = SocketAddress(*options.peer);
        if (::connect(m_socket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
            const int error = errno;
            Close();
            return Failure(Describe("reach", *options.peer, error));
        }
        m_connected = true;
    }
    m_localAddress = LocalAddress().address;
    return {};
}

Endpoint BatchUdpSocket::LocalAddress() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (m_socket < 0 || ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return {};
    return EndpointOf(local);
}

int BatchUdpSocket::ReceiveBufferBytes() const
{
    int size = 0;
    socklen_t length = sizeof size;
    if (m_socket < 0 || ::getsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0)
        return 0;
    return size;
}

Result<std::span<const BatchUdpSocket::Received>> BatchUdpSocket::Receive()
{
    m_received.clear();
    if (m_socket < 0)
        return std::span<const Received>();
    Buffers& b = *m_buffers;
    // Only the messages the last call filled, or a send used, need setting up again: a centre that lingers
    // calls this many times per batch.
    for (std::size_t i = 0; i < m_dirty; ++i) {
        msghdr& header = b.headers[i].msg_hdr;
        header = {};
        header.msg_name = &b.names[i];
        header.msg_namelen = sizeof(sockaddr_in);
        header.msg_iov = &b.receiveVectors[2 * i];
        header.msg_iovlen = 2;
        if (m_packetInfo || m_acceptsRuns) {
            header.msg_control = b.controls[i].bytes;
            header.msg_controllen = sizeof b.controls[i].bytes;
        }
        b.headers[i].msg_len = 0;
    }
    // MSG_TRUNC: the length reported is the datagram's own, so an oversize one is recognised.
    const int count = ::recvmmsg(m_socket, b.headers.data(), static_cast<unsigned>(m_batch),
                                 MSG_DONTWAIT | MSG_TRUNC, nullptr);
    m_dirty = std::max<std::size_t>(count > 0 ? static_cast<std::size_t>(count) : 0, 1);
    if (count < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Failure(std::strerror(errno));
        return std::span<const Received>();
    }
    for (int n = 0; n < count; ++n) {
        const auto i = static_cast<std::size_t>(n);
        msghdr& header = b.headers[i].msg_hdr;
        Received received;
        received.from = EndpointOf(b.names[i]);
        received.localAddress = m_localAddress;
        std::size_t segment = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                received.localAddress = ntohl(info.ipi_addr.s_addr);
                received.replySource = ntohl(info.ipi_spec_dst.s_addr);
            } else if (const std::size_t size = SegmentSizeIn(*c); size != 0) {
                segment = size;
            }
        }
        const std::size_t size = b.headers[i].msg_len;
        const auto whole = b.Datagram(i, size);
        // A run is never longer than a slot; a lone datagram's real size may be.
        ForEachSegment(segment == 0 ? size : whole.size(), segment,
                       [&](std::size_t offset, std::size_t part) {
                           received.size = part;
                           received.bytes = whole.subspan(offset, std::min(part, whole.size() - offset));
                           m_received.push_back(received);
                       });
    }
    if (count > 0)
        m_linger.Arrived();
    return m_received;
}

Result<std::span<const BatchUdpSocket::Received>> BatchUdpSocket::ReceiveLingering()
{
    Result<std::span<const Received>> batch = std::span<const Received>();
    m_linger.Wait([&] {
        batch = Receive();
        // An error or a closed socket ends the wait as a datagram does.
        return !batch || !batch->empty() || m_socket < 0;
    });
    return batch;
}

void BatchUdpSocket::GroupRuns(std::span<const Outgoing> datagrams)
{
    // A message per run of datagrams of one size to one peer: with UDP segmentation the kernel routes and
    // queues such a run once and splits it only at the receiving socket.
    std::vector<std::size_t>& runs = m_buffers->runs;
    runs.clear();
    for (std::size_t i = 0; i < datagrams.size();) {
        const std::size_t run =
            !m_segmentation
                ? 1
                : SegmentRun(
                      i, datagrams.size(), [&](std::size_t j) { return datagrams[j].bytes.size(); },
                      [&](std::size_t j) {
                          return datagrams[j].to == datagrams[i].to &&
                                 datagrams[j].sourceAddress == datagrams[i].sourceAddress;
                      });
        runs.push_back(run);
        i += run;
    }
}

void BatchUdpSocket::FillMessage(std::size_t m, std::size_t first, std::span<const Outgoing> run)
{
    Buffers& b = *m_buffers;
    const Outgoing& out = run.front();
    for (std::size_t k = 0; k < run.size(); ++k)
        b.vectors[first + k] = {const_cast<std::uint8_t*>(run[k].bytes.data()), run[k].bytes.size()};
    msghdr& header = b.headers[m].msg_hdr;
    header = {};
    if (!m_connected) {
        b.names[m] = SocketAddress(out.to);
        header.msg_name = &b.names[m];
        header.msg_namelen = sizeof(sockaddr_in);
    }
    header.msg_iov = &b.vectors[first];
    header.msg_iovlen = run.size();
    if (out.sourceAddress == 0 && run.size() == 1)
        return;
    header.msg_control = b.controls[m].bytes;
    header.msg_controllen = sizeof b.controls[m].bytes;
    std::size_t used = 0;
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    if (out.sourceAddress != 0) {
        // Answer from the address the datagram reached, not the one routing would pick.
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(out.sourceAddress);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
        used += CMSG_SPACE(sizeof(in_pktinfo));
        c = CMSG_NXTHDR(&header, c);
    }
    if (run.size() > 1)
        used += WriteSegmentSize(c, static_cast<std::uint16_t>(out.bytes.size()));
    header.msg_controllen = used;
}

BatchUdpSocket::SendOutcome BatchUdpSocket::Send(std::span<const Outgoing> datagrams)
{
    SendOutcome outcome;
    const std::vector<std::size_t>& runs = m_buffers->runs;
    while (outcome.sent < datagrams.size()) {
        const std::size_t count = std::min(m_batch, datagrams.size() - outcome.sent);
        const auto next = datagrams.subspan(outcome.sent, count);
        m_dirty = std::max(m_dirty, count);
        GroupRuns(next);
        for (std::size_t m = 0, first = 0; m < runs.size(); first += runs[m], ++m)
            FillMessage(m, first, next.subspan(first, runs[m]));
        const int sent =
            ::sendmmsg(m_socket, m_buffers->headers.data(), static_cast<unsigned>(runs.size()), MSG_DONTWAIT);
        if (sent < 0) {
            const int error = errno;
            if (m_segmentation && runs.front() > 1 && RefusesSegments(error)) {
                // No segmentation on this path: one message per datagram from now on.
                m_segmentation = false;
                continue;
            }
            outcome.error = error;
            return outcome;
        }
        // A short count: the next round sends the rest or names the reason.
        for (int m = 0; m < sent; ++m)
            outcome.sent += runs[static_cast<std::size_t>(m)];
    }
    return outcome;
}

std::uint64_t BatchUdpSocket::KernelDrops() const
{
    // The socket's own drop counter, the one /proc/net/udp shows, asked for only when wanted.
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    if (m_socket < 0 || ::getsockopt(m_socket, SOL_SOCKET, SO_MEMINFO, info, &length) != 0 ||
        length <= SK_MEMINFO_DROPS * sizeof info[0])
        return 0;
    return info[SK_MEMINFO_DROPS];
}

std::size_t BatchUdpSocket::SendEach(std::span<const Outgoing> datagrams, const OnSent& sent)
{
    std::size_t went = 0;
    std::size_t next = 0;
    while (next < datagrams.size()) {
        const auto outcome = Send(datagrams.subspan(next));
        for (std::size_t i = 0; i < outcome.sent; ++i)
            sent(next + i, 0);
        went += outcome.sent;
        next += outcome.sent;
        if (outcome.error == 0)
            break;
        // Refused (a full buffer, an ICMP error the socket reports): told, and the rest still go.
        sent(next, outcome.error);
        ++next;
    }
    return went;
}
