#include "net/udp_endpoint.h"
#include "tests/support/loopback_peer.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

using namespace veltrano;

namespace {

// The one bounded wait for something that must not happen.
constexpr int QUIET_MS = 150;

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t size)
{
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0x10});
    return bytes;
}

class UdpEndpointTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(peer.IsValid() && port != 0); }

    bool Open() { return endpoint.Open(port); }
    ReadResult Read() { return endpoint.ReadDatagram(buffer); }
    // Waits until `count` signals have come in all.
    bool WaitFor(int count)
    {
        return QTest::qWaitFor([&] { return waiting.count() >= count; }, 2000);
    }
    Endpoint PeerAddress() const { return {LoopbackAddress(), peer.Port()}; }

    LoopbackPeer peer;
    std::uint16_t port{FreeUdpPort()};
    CUdpEndpoint endpoint;
    QSignalSpy waiting{&endpoint, &CUdpEndpoint::DatagramWaiting};
    FrameBuffer buffer{};
};

TEST_F(UdpEndpointTest, SignalsAWaitingDatagramAndAnswersTheSender)
{
    ASSERT_TRUE(Open());
    const int handle = endpoint.GetHandle();
    EXPECT_FALSE(endpoint.Open(FreeUdpPort())) << "a second open keeps the socket";
    EXPECT_EQ(endpoint.GetHandle(), handle);
    EXPECT_EQ(endpoint.LocalPort(), port);
    ASSERT_TRUE(peer.SendTo(port, Bytes{0x0C, 0x00, 0x01}));
    ASSERT_TRUE(WaitFor(1));
    const ReadResult read = Read();
    ASSERT_EQ(read.length, 3);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 3), (Bytes{0x0C, 0x00, 0x01}));
    EXPECT_EQ(read.sender, PeerAddress());
    EXPECT_GT(read.timeUs, 1'600'000'000'000'000);
    EXPECT_LE(read.at, std::chrono::steady_clock::now());
    EXPECT_GT(read.at, std::chrono::steady_clock::now() - std::chrono::seconds(2));

    // The answer goes straight back to the sender, from the bound port.
    const Bytes ack{8, 0, 1, 0, 0, 0, 0x82, 0x8B};
    EXPECT_EQ(endpoint.SendTo(read.sender, ack).sent, 8);
    const auto answer = peer.Receive().value_or(LoopbackPeer::Datagram{});
    EXPECT_EQ(answer.bytes, ack);
    EXPECT_EQ(answer.fromPort, port);
}

TEST(FrameClock, StampsBothClocksAsTheyReadThemselves)
{
    using namespace std::chrono;
    FrameClock clock;
    FrameTime previous;
    for (int i = 0; i < 3; ++i) {
        const auto monoBefore = steady_clock::now();
        const std::int64_t wallBefore = WallClockUs();
        const FrameTime now = clock.Now();
        const std::int64_t wallAfter = WallClockUs();
        EXPECT_GE(now.mono, monoBefore);
        EXPECT_LE(now.mono, steady_clock::now());
        // The wall clock from the difference between the clocks: within the readings around it, give or
        // take the microsecond the difference is rounded to.
        EXPECT_GE(now.wallUs, wallBefore - 1);
        EXPECT_LE(now.wallUs, wallAfter + 1);
        EXPECT_GE(now.wallUs, previous.wallUs);
        previous = now;
        // The first stamp, one from the same difference, one after the difference is read afresh.
        if (i == 1)
            std::this_thread::sleep_for(FrameClock::RESYNC_PERIOD * 2);
    }
}

TEST_F(UdpEndpointTest, EachReadRearmsOneSignalInArrivalOrder)
{
    ASSERT_TRUE(Open());
    for (std::uint8_t i = 1; i <= 3; ++i)
        ASSERT_TRUE(peer.SendTo(port, Bytes{i, i}));
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(WaitFor(i));
        QTest::qWait(QUIET_MS);
        ASSERT_EQ(waiting.count(), i) << "only a read re-arms";
        ASSERT_EQ(Read().length, 2);
        EXPECT_EQ(buffer[0], i);
    }
    QTest::qWait(QUIET_MS);
    EXPECT_EQ(waiting.count(), 3);
    EXPECT_EQ(Read().length, -1) << "nothing waits";
}

TEST_F(UdpEndpointTest, OneSignalPerReadWhetherTheReceiverReadsAtOnceOrAfterANestedLoop)
{
    for (const bool nested : {false, true}) {
        SCOPED_TRACE(nested ? "a nested event loop before the read" : "the read at once");
        CUdpEndpoint receiver;
        ASSERT_TRUE(receiver.Open(0));
        int signals = 0;
        int reentered = 0;
        bool inSlot = false;
        Bytes order;
        QObject::connect(&receiver, &CUdpEndpoint::DatagramWaiting, &receiver, [&] {
            ++signals;
            reentered += inSlot ? 1 : 0;
            inSlot = true;
            if (nested)
                QTest::qWait(20);
            if (receiver.ReadDatagram(buffer).length > 0)
                order.push_back(buffer[0]);
            inSlot = false;
        });
        for (std::uint8_t i = 1; i <= 3; ++i)
            ASSERT_TRUE(peer.SendTo(receiver.LocalPort(), Bytes{i, i}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 3; }, 2000));
        QTest::qWait(QUIET_MS);
        EXPECT_EQ(signals, 3);
        EXPECT_EQ(reentered, 0) << "a signal came before the read it asked for";
        EXPECT_EQ(order, (Bytes{1, 2, 3}));
    }
}

TEST_F(UdpEndpointTest, QueuedDatagramsAreSignalledOnceEachInOrderAndTheEventLoopKeepsItsTurn)
{
    // More than three notifications' worth, all queued before the event loop runs.
    constexpr int COUNT = 3 * CUdpEndpoint::SIGNALS_PER_WAKE + 5;
    CUdpEndpoint receiver;
    ASSERT_TRUE(receiver.Open(0));
    for (int i = 0; i < COUNT; ++i)
        ASSERT_TRUE(peer.SendTo(receiver.LocalPort(), Bytes{static_cast<std::uint8_t>(i), 0x5A}));
    // A zero timer fires once per pass of the event loop: the signals between two of its ticks came from
    // one notification.
    int ticks = 0;
    QTimer pass;
    QObject::connect(&pass, &QTimer::timeout, &pass, [&] { ++ticks; });
    pass.start(0);
    int signals = 0;
    int unread = 0;
    int run = 0;
    int longestRun = 0;
    int lastTick = -1;
    Bytes order;
    QObject::connect(&receiver, &CUdpEndpoint::DatagramWaiting, &receiver, [&] {
        ++signals;
        run = ticks == lastTick ? run + 1 : 1;
        lastTick = ticks;
        longestRun = std::max(longestRun, run);
        if (receiver.ReadDatagram(buffer).length == 2)
            order.push_back(buffer[0]);
        else
            ++unread;
    });
    // Each notification that signalled ends with SignalsDone, after its last signal.
    std::vector<int> signalsAtDone;
    QObject::connect(&receiver, &CUdpEndpoint::SignalsDone, &receiver,
                     [&] { signalsAtDone.push_back(signals); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == COUNT; }, 2000));
    QTest::qWait(QUIET_MS);
    EXPECT_EQ(signals, COUNT) << "one signal per datagram";
    ASSERT_FALSE(signalsAtDone.empty());
    EXPECT_GT(signalsAtDone.front(), 0);
    EXPECT_EQ(signalsAtDone.back(), COUNT);
    EXPECT_TRUE(std::adjacent_find(signalsAtDone.begin(), signalsAtDone.end(), std::greater_equal<>()) ==
                signalsAtDone.end())
        << "a notification without signals ended with SignalsDone";
    EXPECT_EQ(unread, 0) << "a signal with nothing to read";
    Bytes expected(COUNT);
    std::iota(expected.begin(), expected.end(), std::uint8_t{0});
    EXPECT_EQ(order, expected);
    EXPECT_GT(longestRun, 1) << "queued datagrams go in one notification";
    EXPECT_LE(longestRun, CUdpEndpoint::SIGNALS_PER_WAKE) << "the event loop waited for the queue";
}

// Each size read alone, then all queued together: each keeps its own length, sender and bytes.
TEST_F(UdpEndpointTest, ReadResultByDatagramSizeAloneOrQueuedTogether)
{
    struct Case
    {
        std::size_t size;
        int length;
        bool fromSecondPeer;
    };
    // clang-format off
    const Case cases[] = {
        {.size = 0,   .length = 0,   .fromSecondPeer = false},
        {.size = 200, .length = -1,  .fromSecondPeer = true},
        {.size = 12,  .length = 12,  .fromSecondPeer = false},
        {.size = 128, .length = 128, .fromSecondPeer = true},
        {.size = 129, .length = -1,  .fromSecondPeer = false},
        {.size = 1,   .length = 1,   .fromSecondPeer = true},
    };
    // clang-format on
    LoopbackPeer second;
    ASSERT_TRUE(Open());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        ASSERT_TRUE(peer.SendTo(port, Pattern(c.size)));
        ASSERT_TRUE(WaitFor(waiting.count() + 1));
        buffer.fill(0xEE);
        EXPECT_EQ(Read().length, c.length);
        // An oversized datagram leaves its head in the buffer; the rest of the buffer is untouched.
        Bytes expectedBuffer = Pattern(std::min(c.size, buffer.size()));
        expectedBuffer.resize(buffer.size(), 0xEE);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), expectedBuffer);
        EXPECT_EQ(Read().length, -1) << "the datagram was consumed";
    }
    for (const Case& c : cases) {
        Bytes bytes = Pattern(c.size);
        if (!bytes.empty())
            bytes[0] = static_cast<std::uint8_t>(c.size);
        ASSERT_TRUE((c.fromSecondPeer ? second : peer).SendTo(port, bytes));
    }
    int signal = waiting.count();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "queued " << c.size);
        ASSERT_TRUE(WaitFor(++signal));
        const ReadResult read = Read();
        EXPECT_EQ(read.length, c.length);
        if (read.length > 0) {
            EXPECT_EQ(buffer[0], static_cast<std::uint8_t>(c.size));
            EXPECT_EQ(read.sender.port, (c.fromSecondPeer ? second : peer).Port());
        }
    }
    QTest::qWait(QUIET_MS);
    EXPECT_EQ(waiting.count(), signal);
    EXPECT_EQ(Read().length, -1);
}

TEST_F(UdpEndpointTest, ClosedEndpointFailsAndASocketOpenedSinceDoesNotSignal)
{
    const SendResult refused = endpoint.SendTo(PeerAddress(), Pattern(12));
    EXPECT_EQ(refused.sent, -1);
    EXPECT_EQ(refused.error, EBADF);
    EXPECT_EQ(Read().length, -1);
    EXPECT_EQ(endpoint.Close(), -1);
    EXPECT_FALSE(peer.TryReceive());

    ASSERT_TRUE(Open());
    ASSERT_TRUE(peer.SendTo(port, Bytes{1, 2, 3}));
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(endpoint.Close(), 0);
    EXPECT_EQ(endpoint.Close(), -1);
    EXPECT_EQ(endpoint.GetHandle(), INVALID_SOCKET);
    EXPECT_EQ(endpoint.LocalPort(), 0);
    EXPECT_EQ(Read().length, -1);
    // A socket opened since, likely on the same descriptor, must not signal.
    LoopbackPeer reuser;
    ASSERT_TRUE(reuser.SendTo(reuser.Port(), Bytes{4}));
    QTest::qWait(QUIET_MS);
    EXPECT_EQ(waiting.count(), 1);
}

TEST_F(UdpEndpointTest, HeldPortLeavesTheEndpointOpenAndSending)
{
    LoopbackPeer holder(port);
    ASSERT_TRUE(holder.IsValid());
    EXPECT_FALSE(Open());
    EXPECT_TRUE(endpoint.IsOpen());
    EXPECT_EQ(endpoint.SendTo({LoopbackAddress(), holder.Port()}, Pattern(5)).sent, 5);
    const auto received = holder.Receive().value_or(LoopbackPeer::Datagram{});
    EXPECT_EQ(received.bytes, Pattern(5));
    EXPECT_NE(received.fromPort, port);
}

TEST_F(UdpEndpointTest, SourcePortUsesItsLow16BitsAndIsReleasedOnDestruction)
{
    for (const int requested : {int{port}, 0x10000 + port, 0x7FFF0000 + port, 0, 0x10000}) {
        {
            CUdpEndpoint candidate;
            ASSERT_TRUE(candidate.Open(requested)) << requested;
            // Low 16 bits of 0 let the system pick a port.
            EXPECT_EQ(LoopbackPeer(port).IsValid(), (requested & 0xFFFF) == 0) << requested;
        }
        EXPECT_TRUE(LoopbackPeer(port).IsValid()) << requested << ": still held";
    }
}

TEST_F(UdpEndpointTest, SendsTheLow8BitsOfTheSizeAndReportsRefusals)
{
    const std::pair<std::size_t, int> cases[] = {{0, 0}, {12, 12}, {255, 255}, {256 + 12, 12}};
    ASSERT_TRUE(endpoint.Open(0));
    for (const auto& [size, sent] : cases) {
        EXPECT_EQ(endpoint.SendTo(PeerAddress(), Pattern(size)).sent, sent);
        const auto received = peer.Receive();
        ASSERT_TRUE(received) << size;
        EXPECT_EQ(received->bytes, Pattern(static_cast<std::size_t>(sent))) << size;
    }
    const SendResult toPortZero = endpoint.SendTo({LoopbackAddress(), 0}, Pattern(8));
    EXPECT_EQ(toPortZero.sent, -1);
    EXPECT_NE(toPortZero.error, 0);
}

} // namespace
