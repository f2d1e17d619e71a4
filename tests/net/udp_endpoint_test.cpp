#include "net/udp_endpoint.h"
#include "tests/support/udp_peer.h"

#include <QObject>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <tuple>
#include <vector>

namespace {

constexpr int kWaitMs = 2000;
// The one bounded wait for something that must not happen.
constexpr int kQuietMs = 150;

using Bytes = std::vector<std::uint8_t>;
using Notification = std::tuple<int, std::uintptr_t, std::intptr_t>; // message, wParam, lParam

// Stands in for the console window: records every notification.
class NotificationRecorder final : public QObject
{
public:
    NotificationRecorder() = default;
    Q_DISABLE_COPY_MOVE(NotificationRecorder)

    bool event(QEvent* e) override
    {
        if (e->type() != CWindowMessageEvent::EventType)
            return QObject::event(e);
        const auto* message = static_cast<CWindowMessageEvent*>(e);
        notifications.emplace_back(message->Message(), message->WParam(), message->LParam());
        return true;
    }

    std::vector<Notification> notifications;
};

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

    bool Open() { return endpoint.Open(port, &window, WM_UDP_NOTIFY); }
    int Read() { return endpoint.ReadDatagram(buffer, sender); }
    bool WaitFor(std::size_t count)
    {
        return QTest::qWaitFor([&] { return window.notifications.size() >= count; }, kWaitMs);
    }

    UdpPeer peer;
    std::uint16_t port{FreeUdpPort()};
    NotificationRecorder window;
    CUdpEndpoint endpoint;
    FrameBuffer buffer{};
    sockaddr_in sender{};
};

TEST_F(UdpEndpointTest, NotifiesWithHandleAndReadEventAndAnswersTheSender)
{
    ASSERT_TRUE(Open());
    const int handle = endpoint.GetHandle();
    EXPECT_FALSE(endpoint.Open(FreeUdpPort(), &window, WM_UDP_NOTIFY)) << "a second open keeps the socket";
    EXPECT_EQ(endpoint.GetHandle(), handle);
    ASSERT_TRUE(peer.SendTo(port, {0x0C, 0x00, 0x01}));
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(window.notifications.front(), Notification(WM_UDP_NOTIFY, handle, FD_READ));
    ASSERT_EQ(Read(), 3);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 3), (Bytes{0x0C, 0x00, 0x01}));
    EXPECT_EQ(sender.sin_addr.s_addr, LoopbackAddress());
    EXPECT_EQ(sender.sin_port, peer.NetPort());

    // The acknowledgement goes straight back to the sender, from the bound port.
    const std::uint8_t ack[8]{8, 0, 1, 0, 0, 0, 0x82, 0x8B};
    EXPECT_EQ(endpoint.SendToSender(ack, 8, sender), 8);
    const auto answer = peer.Receive().value_or(UdpPeer::Datagram{});
    EXPECT_EQ(answer.bytes, Bytes(std::begin(ack), std::end(ack)));
    EXPECT_EQ(answer.fromPort, port);
}

TEST_F(UdpEndpointTest, EachReadRearmsOneNotificationInArrivalOrder)
{
    ASSERT_TRUE(Open());
    for (std::uint8_t i = 1; i <= 3; ++i)
        ASSERT_TRUE(peer.SendTo(port, {i, i}));
    for (std::uint8_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(WaitFor(i));
        QTest::qWait(kQuietMs);
        ASSERT_EQ(window.notifications.size(), i) << "only a read re-arms";
        ASSERT_EQ(Read(), 2);
        EXPECT_EQ(buffer[0], i);
    }
    QTest::qWait(kQuietMs);
    EXPECT_EQ(window.notifications.size(), 3u);
    EXPECT_EQ(Read(), -1) << "nothing waits";
}

TEST_F(UdpEndpointTest, ReadResultByDatagramSize)
{
    const std::pair<std::size_t, int> cases[] = {
        {0, 0}, {200, -1}, {12, 12}, {128, 128}, {129, -1}, {1, 1},
    };
    ASSERT_TRUE(Open());
    for (const auto& [size, expected] : cases) {
        ASSERT_TRUE(peer.SendTo(port, Pattern(size)));
        ASSERT_TRUE(WaitFor(window.notifications.size() + 1));
        buffer.fill(0xEE);
        EXPECT_EQ(Read(), expected) << size;
        // An oversized datagram leaves its head in the buffer; the rest of the buffer is untouched.
        Bytes expectedBuffer = Pattern(std::min(size, buffer.size()));
        expectedBuffer.resize(buffer.size(), 0xEE);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), expectedBuffer) << size;
        EXPECT_EQ(Read(), -1) << size << ": the datagram was consumed";
    }
}

TEST_F(UdpEndpointTest, ClosedEndpointFailsAndQueuedNotificationReadsNothing)
{
    const Bytes frame = Pattern(12);
    EXPECT_EQ(endpoint.SendTo(LoopbackAddress(), peer.NetPort(), frame.data(), 12), -1);
    EXPECT_EQ(Read(), -1);
    EXPECT_EQ(endpoint.Close(), -1);
    EXPECT_FALSE(peer.TryReceive());

    ASSERT_TRUE(Open());
    ASSERT_TRUE(peer.SendTo(port, {1, 2, 3}));
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(endpoint.Close(), 0);
    EXPECT_EQ(endpoint.Close(), -1);
    EXPECT_EQ(endpoint.GetHandle(), INVALID_SOCKET);
    EXPECT_EQ(Read(), -1);
    // A socket opened since, likely on the same descriptor, must not notify the window.
    UdpPeer reuser;
    ASSERT_TRUE(reuser.SendTo(reuser.Port(), {4}));
    QTest::qWait(kQuietMs);
    EXPECT_EQ(window.notifications.size(), 1u);
}

TEST_F(UdpEndpointTest, HeldPortLeavesTheEndpointOpenAndSending)
{
    UdpPeer holder(port);
    ASSERT_TRUE(holder.IsValid());
    EXPECT_FALSE(Open());
    EXPECT_TRUE(endpoint.IsOpen());
    EXPECT_EQ(endpoint.SendTo(LoopbackAddress(), holder.NetPort(), Pattern(5).data(), 5), 5);
    const auto received = holder.Receive().value_or(UdpPeer::Datagram{});
    EXPECT_EQ(received.bytes, Pattern(5));
    EXPECT_NE(received.fromPort, port);
}

TEST_F(UdpEndpointTest, SourcePortUsesItsLow16BitsAndIsReleasedOnDestruction)
{
    for (const int requested : {int{port}, 0x10000 + port, 0x7FFF0000 + port, 0, 0x10000}) {
        {
            CUdpEndpoint candidate;
            ASSERT_TRUE(candidate.Open(requested, &window, WM_UDP_NOTIFY)) << requested;
            // Low 16 bits of 0 let the system pick a port.
            EXPECT_EQ(UdpPeer(port).IsValid(), (requested & 0xFFFF) == 0) << requested;
        }
        EXPECT_TRUE(UdpPeer(port).IsValid()) << requested << ": still held";
    }
}

TEST_F(UdpEndpointTest, SendsTheLow8BitsOfTheLength)
{
    const std::pair<int, std::size_t> cases[] = {
        {0, 0}, {12, 12}, {255, 255}, {256 + 12, 12}, {-1, 255},
    };
    ASSERT_TRUE(endpoint.Open(0, &window, WM_UDP_NOTIFY));
    const Bytes data = Pattern(512);
    for (const auto& [length, sent] : cases) {
        EXPECT_EQ(endpoint.SendTo(LoopbackAddress(), peer.NetPort(), data.data(), length),
                  static_cast<int>(sent));
        const auto received = peer.Receive();
        ASSERT_TRUE(received) << length;
        EXPECT_EQ(received->bytes, Pattern(sent)) << length;
    }
}

TEST_F(UdpEndpointTest, WindowDestroyedWhileOpenGetsNothingPosted)
{
    {
        NotificationRecorder gone;
        ASSERT_TRUE(endpoint.Open(port, &gone, WM_UDP_NOTIFY));
    }
    ASSERT_TRUE(peer.SendTo(port, {1}));
    // Must neither crash nor post to the dead window; the datagram stays for a read.
    QTest::qWait(kQuietMs);
    EXPECT_EQ(Read(), 1);
}

} // namespace
