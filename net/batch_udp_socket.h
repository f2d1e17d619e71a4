#pragma once

#include "net/linger.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"
#include "protocol/result.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The command-line companion's UDP/IPv4 socket: non-blocking, a large receive buffer, datagrams read and
// written a batch per system call, runs of one size as one segmented message both ways, each received one
// with the local address it was sent to (IP_PKTINFO) when bound to every interface, and the kernel's count
// of datagrams it dropped for want of buffer space. The window keeps its own option-less endpoint; this one
// is for load.
class BatchUdpSocket final
{
public:
    // The largest IPv4 UDP payload, plus one so that anything larger still shows as truncated.
    static constexpr std::size_t SLOT_SIZE = 65508;
    // Bytes of each received datagram kept apart from its slot: any frame of the protocol.
    static constexpr std::size_t HEAD_SIZE = veltrano::FRAME_BUFFER_SIZE;

    struct Options
    {
        std::uint32_t bindAddress{0}; // 0 = every interface
        std::uint16_t port{0};        // 0 = one the system picks
        int receiveBuffer{8 << 20};   // bytes asked for, beyond the system's limit when allowed
        // When set, the socket only talks to and hears from this peer.
        std::optional<veltrano::Endpoint> peer{};
    };

    struct Received
    {
        std::span<const std::uint8_t> bytes; // at most SLOT_SIZE
        std::size_t size{0};                 // the datagram's real size
        veltrano::Endpoint from;
        std::uint32_t localAddress{0}; // where it was sent to
        // The local address an answer comes from; 0 on a socket bound to one address,
        // which answers from that one.
        std::uint32_t replySource{0};
    };

    struct Outgoing
    {
        veltrano::Endpoint to;          // ignored on a socket with a peer
        std::uint32_t sourceAddress{0}; // 0 lets routing choose
        std::span<const std::uint8_t> bytes;
    };

    struct SendOutcome
    {
        std::size_t sent{0}; // the first `sent` datagrams went
        int error{0};        // why the next one did not; 0 when all went
    };

    explicit BatchUdpSocket(std::size_t batch = 64);
    ~BatchUdpSocket();
    BatchUdpSocket(const BatchUdpSocket&) = delete;
    BatchUdpSocket& operator=(const BatchUdpSocket&) = delete;

    // "cannot bind 0.0.0.0:7015: Address already in use" and the like; nothing stays open on failure.
    [[nodiscard]] veltrano::Status Open(const Options& options);
    bool IsOpen() const { return m_socket >= 0; }
    int Handle() const { return m_socket; }
    std::size_t BatchSize() const { return m_batch; }
    // The bound address and port; a socket with a peer has a real address here.
    veltrano::Endpoint LocalAddress() const;
    // What the system granted, as getsockopt reports it.
    int ReceiveBufferBytes() const;

    // Up to a batch of waiting messages, without waiting, a peer's segmented run cut into its datagrams;
    // valid until the next call. Empty when nothing waits; the system's reason on an error (a connected
    // socket hears of a closed port this way).
    [[nodiscard]] veltrano::Result<std::span<const Received>> Receive();
    // As Receive, but when nothing waits it asks again for as long as this socket's Linger allows. For a
    // caller that has just answered a batch.
    [[nodiscard]] veltrano::Result<std::span<const Received>> ReceiveLingering();
    // How long the next ReceiveLingering may wait.
    std::chrono::microseconds LingerLimit() const { return m_linger.Limit(); }
    // Datagrams the kernel dropped on this socket's full receive queue since it opened.
    std::uint64_t KernelDrops() const;

    // In order, a batch per system call, never waiting; runs of datagrams of one size to one peer go as one
    // segmented message where the system allows.
    SendOutcome Send(std::span<const Outgoing> datagrams);
    // A datagram of SendEach that went (error 0) or that the system refused, with its reason.
    using OnSent = std::function<void(std::size_t index, int error)>;
    // Sends every datagram, in order, whatever the system refuses: each refused one is reported with its
    // reason and skipped, the rest still go. The number that went.
    std::size_t SendEach(std::span<const Outgoing> datagrams, const OnSent& sent);

private:
    struct Buffers;

    void Close();
    // Splits the datagrams into runs that one message each can carry, into the buffers' runs.
    void GroupRuns(std::span<const Outgoing> datagrams);
    // Message `m` of the buffers for `run`, whose datagrams start at iovec `first`.
    void FillMessage(std::size_t m, std::size_t first, std::span<const Outgoing> run);

    int m_socket{-1};
    bool m_connected{false};
    bool m_segmentation{true};
    bool m_packetInfo{false};  // each received datagram comes with the address it was sent to
    bool m_acceptsRuns{false}; // a segmented run comes as one message, cut on receipt
    std::size_t m_batch{64};
    std::size_t m_dirty{0}; // leading messages of the buffers that a receive must set up again
    std::unique_ptr<Buffers> m_buffers;
    std::vector<Received> m_received;
    std::uint32_t m_localAddress{0}; // bound or connected; 0 when bound to every interface
    Linger m_linger;
};
