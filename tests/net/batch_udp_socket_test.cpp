#include "net/batch_udp_socket.h"
#include "net/udp_segments.h"
#include "tests/support/loopback_peer.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <vector>

using namespace veltrano;

namespace {

// A datagram whose bytes tell where each of them belongs: one landing in another's place shows.
std::vector<std::uint8_t> Numbered(std::size_t size, std::size_t seed)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t j = 0; j < size; ++j)
        bytes[j] = static_cast<std::uint8_t>(seed * 31 + j);
    return bytes;
}

// Bytes of this process resident now.
std::size_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t total = 0;
    std::size_t resident = 0;
    statm >> total >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Datagrams of the sizes, each filled with its number from 1, and the sends that carry them to `to`.
struct Sends
{
    Sends(const std::vector<std::size_t>& sizes, const Endpoint& to)
    {
        for (std::size_t i = 0; i < sizes.size(); ++i)
            datagrams.emplace_back(sizes[i], static_cast<std::uint8_t>(i + 1));
        for (const auto& bytes : datagrams)
            outgoing.push_back({to, 0, bytes});
    }
    std::vector<std::vector<std::uint8_t>> datagrams;
    std::vector<BatchUdpSocket::Outgoing> outgoing;
};

// Runs of equal datagrams may go as one segmented message; the receiver must still see each datagram whole.
// A datagram the system refuses is told with its reason and skipped; those after it still go, in order.
TEST(BatchUdpSocket, EveryDatagramArrivesWholeAndEachRefusalIsToldAndSkipped)
{
    constexpr std::size_t TOO_LONG = 70'000; // past the largest IPv4 UDP payload: EMSGSIZE
    const struct
    {
        const char* name;
        std::vector<std::size_t> sizes;
        std::vector<int> errors; // per datagram, as SendEach tells them; empty: none refused
    } cases[] = {
        {"one run", {12, 12, 12, 12}, {}},
        {"a shorter one inside", {12, 12, 8, 12, 12}, {}},
        {"a longer one last", {8, 8, 8, 12}, {}},
        {"all different", {1, 2, 3, 128}, {}},
        {"a run past one message's 64 KiB", {40000, 40000}, {}},
        {"one refused between two", {12, TOO_LONG, 12}, {0, EMSGSIZE, 0}},
        {"the first refused", {TOO_LONG, 8, 8}, {EMSGSIZE, 0, 0}},
        {"the last refused", {8, 8, TOO_LONG}, {0, 0, EMSGSIZE}},
        {"two refused in a row", {TOO_LONG, TOO_LONG, 12}, {EMSGSIZE, EMSGSIZE, 0}},
    };
    LoopbackPeer peer;
    BatchUdpSocket socket(16);
    BatchUdpSocket::Options options;
    options.peer = Endpoint{LOOPBACK_ADDRESS, peer.Port()};
    ASSERT_TRUE(socket.Open(options));
    for (const auto& c : cases) {
        const Sends sends(c.sizes, *options.peer);
        const auto& [datagrams, outgoing] = sends;
        const std::vector<int> errors = c.errors.empty() ? std::vector<int>(datagrams.size(), 0) : c.errors;
        // Send stops at a refusal: only the rows without one go both ways.
        for (const bool each : {false, true}) {
            if (!each && !c.errors.empty())
                continue;
            SCOPED_TRACE(std::string(c.name) + (each ? ", SendEach" : ", Send"));
            if (each) {
                std::vector<int> told(outgoing.size(), -1);
                const std::size_t went =
                    socket.SendEach(outgoing, [&](std::size_t i, int error) { told.at(i) = error; });
                EXPECT_EQ(told, errors);
                EXPECT_EQ(went, static_cast<std::size_t>(std::count(errors.begin(), errors.end(), 0)));
            } else {
                const auto outcome = socket.Send(outgoing);
                EXPECT_EQ(outcome.sent, outgoing.size());
                EXPECT_EQ(outcome.error, 0);
            }
            for (std::size_t i = 0; i < datagrams.size(); ++i) {
                if (errors[i] != 0)
                    continue;
                const auto received = peer.Receive();
                ASSERT_TRUE(received.has_value());
                EXPECT_EQ(received->bytes, datagrams[i]);
            }
            EXPECT_FALSE(peer.TryReceive().has_value());
        }
    }
}

// A datagram is read in two pieces, its head apart from the rest: every one of a batch still comes back
// whole, its own bytes in order, whether it fits the head, fills it exactly or runs past it.
TEST(BatchUdpSocket, EveryDatagramOfABatchComesBackWholeAroundTheHeadsSize)
{
    constexpr std::size_t HEAD = BatchUdpSocket::HEAD_SIZE;
    const struct
    {
        const char* name;
        std::vector<std::size_t> sizes;
    } cases[] = {
        {"frames only", {8, 12, 18}},
        {"the head filled exactly", {HEAD, 8, HEAD}},
        {"one byte past the head", {HEAD + 1, HEAD - 1, HEAD + 1}},
        {"long ones between short ones", {8, 4000, 12, 9000, 1}},
        {"empty ones", {0, HEAD + 1, 0}},
        {"the largest a datagram can be", {12, MAX_UDP_PAYLOAD, HEAD + 7}},
    };
    BatchUdpSocket socket(16);
    BatchUdpSocket::Options options;
    options.bindAddress = LOOPBACK_ADDRESS;
    ASSERT_TRUE(socket.Open(options));
    LoopbackPeer peer;
    std::size_t seed = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<std::uint8_t>> sent;
        for (const std::size_t size : c.sizes) {
            sent.push_back(Numbered(size, ++seed));
            ASSERT_TRUE(peer.SendTo(socket.LocalAddress().port, sent.back()));
        }
        pollfd readable{socket.Handle(), POLLIN, 0};
        ASSERT_EQ(::poll(&readable, 1, 2000), 1);
        const auto received = socket.Receive();
        ASSERT_TRUE(received) << received.error();
        ASSERT_EQ(received->size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            SCOPED_TRACE(i);
            const BatchUdpSocket::Received& datagram = (*received)[i];
            EXPECT_EQ(datagram.size, sent[i].size());
            EXPECT_EQ(std::vector<std::uint8_t>(datagram.bytes.begin(), datagram.bytes.end()), sent[i]);
        }
    }
}

// A run sent as one segmented message is read in one piece, a single message of the batch, and cut into its
// datagrams, each with its own bytes and the run's sender; a lone datagram after it comes on its own.
TEST(BatchUdpSocket, ASegmentedRunIsReadAsOneMessageAndCutIntoItsDatagrams)
{
    const struct
    {
        const char* name;
        std::size_t size;
        std::uint16_t segment;
    } cases[] = {
        {"a burst of acknowledgements", 16 * ACK_FRAME_LENGTH, ACK_FRAME_LENGTH},
        {"a shorter last", 3 * 12 + 5, 12},
        {"one segment", 12, 12},
        {"parts past the head's size", 5 * 1000, 1000},
        {"the most segments a run has", MAX_UDP_SEGMENTS * 1000, 1000},
    };
    BatchUdpSocket socket(1);
    BatchUdpSocket::Options options;
    options.bindAddress = LOOPBACK_ADDRESS;
    ASSERT_TRUE(socket.Open(options));
    const LoopbackPeer peer;
    const std::vector<std::uint8_t> lone{1, 2, 3};
    std::size_t seed = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = Numbered(c.size, ++seed);
        ASSERT_TRUE(peer.SendRunTo(socket.LocalAddress().port, run, c.segment));
        ASSERT_TRUE(peer.SendTo(socket.LocalAddress().port, lone));
        std::vector<std::vector<std::uint8_t>> expected;
        for (std::size_t offset = 0; offset < run.size(); offset += c.segment)
            expected.emplace_back(run.begin() + static_cast<std::ptrdiff_t>(offset),
                                  run.begin() +
                                      static_cast<std::ptrdiff_t>(std::min(offset + c.segment, run.size())));
        for (const auto& want : {expected, std::vector<std::vector<std::uint8_t>>{lone}}) {
            pollfd readable{socket.Handle(), POLLIN, 0};
            ASSERT_EQ(::poll(&readable, 1, 2000), 1);
            const auto received = socket.Receive();
            ASSERT_TRUE(received) << received.error();
            std::vector<std::vector<std::uint8_t>> got;
            for (const BatchUdpSocket::Received& datagram : *received) {
                EXPECT_EQ(datagram.size, datagram.bytes.size());
                EXPECT_EQ(datagram.from.port, peer.Port());
                got.emplace_back(datagram.bytes.begin(), datagram.bytes.end());
            }
            EXPECT_EQ(got, want);
        }
    }
}

// A full batch of frames makes little of the socket's buffers resident: not a page per datagram, which
// at a fleet's batch of a thousand answers was 4 MiB.
TEST(BatchUdpSocket, ABatchOfFramesCostsFarLessThanAPageEach)
{
    constexpr std::size_t BATCH = 256;
    BatchUdpSocket socket(BATCH);
    BatchUdpSocket::Options options;
    options.bindAddress = LOOPBACK_ADDRESS;
    ASSERT_TRUE(socket.Open(options));
    LoopbackPeer peer;
    const std::vector<std::uint8_t> ack(ACK_FRAME_LENGTH, 0x81);
    for (std::size_t i = 0; i < BATCH; ++i)
        ASSERT_TRUE(peer.SendTo(socket.LocalAddress().port, ack));
    const std::size_t before = ResidentBytes();
    const auto received = socket.Receive();
    const std::size_t after = ResidentBytes();
    ASSERT_TRUE(received) << received.error();
    // A receive queue too small for the whole batch still leaves one large enough to tell.
    ASSERT_GE(received->size(), 64U);
    EXPECT_LT(after - std::min(after, before), received->size() * 1024);
}

// Bound to one address or to all, a datagram comes with its sender and the local address it reached, which an
// answer is sent from.
TEST(BatchUdpSocket, ReceivesWithTheSendersEndpointAndTheAddressItReached)
{
    for (const std::uint32_t bound : {LOOPBACK_ADDRESS, 0U}) {
        SCOPED_TRACE(bound);
        BatchUdpSocket socket;
        BatchUdpSocket::Options options;
        options.bindAddress = bound;
        ASSERT_TRUE(socket.Open(options));
        const Endpoint local = socket.LocalAddress();
        EXPECT_EQ(local.address, bound);
        LoopbackPeer peer;
        const std::vector<std::uint8_t> frame{0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x0A};
        ASSERT_TRUE(peer.SendTo(local.port, frame));
        pollfd readable{socket.Handle(), POLLIN, 0};
        ASSERT_EQ(::poll(&readable, 1, 2000), 1);
        const auto received = socket.Receive();
        ASSERT_TRUE(received) << received.error();
        const std::span<const BatchUdpSocket::Received> batch = *received;
        ASSERT_EQ(batch.size(), 1U);
        EXPECT_EQ(batch[0].from, (Endpoint{LOOPBACK_ADDRESS, peer.Port()}));
        EXPECT_EQ(batch[0].size, frame.size());
        EXPECT_EQ(batch[0].localAddress, LOOPBACK_ADDRESS);
        // Only a socket bound to every address needs to name the source of its answers.
        EXPECT_EQ(batch[0].replySource, bound == 0 ? LOOPBACK_ADDRESS : 0U);
    }
}

// What overflows the receive queue is counted, and only that: a summary reports it as lost on this side.
TEST(BatchUdpSocket, CountsTheDatagramsItsFullQueueDropped)
{
    BatchUdpSocket socket(256);
    BatchUdpSocket::Options options;
    options.bindAddress = LOOPBACK_ADDRESS;
    options.receiveBuffer = 1; // the system's smallest
    ASSERT_TRUE(socket.Open(options));
    EXPECT_EQ(socket.KernelDrops(), 0U);
    LoopbackPeer peer;
    const std::vector<std::uint8_t> frame(128, 0x5A);
    constexpr std::uint64_t SENT = 400;
    for (std::uint64_t i = 0; i < SENT; ++i)
        ASSERT_TRUE(peer.SendTo(socket.LocalAddress().port, frame));
    std::uint64_t received = 0;
    for (auto batch = socket.Receive(); batch && !batch->empty(); batch = socket.Receive())
        received += batch->size();
    EXPECT_GT(received, 0U);
    EXPECT_LT(received, SENT);
    EXPECT_EQ(socket.KernelDrops(), SENT - received);
}

// The gap after a wait that caught nothing ends with the next datagram a plain receive finds, as the event
// loop's does: a sender slower than the longest wait then gets none.
TEST(BatchUdpSocket, ADatagramFoundAfterAMissedWaitEndsItsGap)
{
    BatchUdpSocket socket(4);
    BatchUdpSocket::Options options;
    options.bindAddress = LOOPBACK_ADDRESS;
    ASSERT_TRUE(socket.Open(options));
    ASSERT_EQ(socket.LingerLimit(), Linger::SHORTEST);
    const auto nothing = socket.ReceiveLingering();
    ASSERT_TRUE(nothing && nothing->empty());
    const auto missed = Linger::Clock::now();
    while (Linger::Clock::now() - missed <= Linger::LONGEST) {
    }
    LoopbackPeer peer;
    ASSERT_TRUE(peer.SendTo(socket.LocalAddress().port, std::vector<std::uint8_t>(12, 0x01)));
    pollfd readable{socket.Handle(), POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 5000), 1);
    const auto batch = socket.Receive();
    ASSERT_TRUE(batch && batch->size() == 1);
    EXPECT_EQ(socket.LingerLimit().count(), 0);
}

} // namespace
