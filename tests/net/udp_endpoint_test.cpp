#include "net/udp_endpoint.h"
#include "tests/support/udp_peer.h"

#include <QObject>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <vector>

namespace {

constexpr int kWaitMs = 2000;
// The one bounded wait for something that must not happen.
constexpr int kQuietMs = 150;

struct Notification
{
    int message{0};
    std::uintptr_t wParam{0};
    std::intptr_t lParam{0};
};

// Stands in for the console window: records every notification and, when answering, reads one datagram
// for each as the receive path does.
class NotificationRecorder final : public QObject
{
public:
    explicit NotificationRecorder(CUdpEndpoint* answerWith = nullptr) : m_endpoint(answerWith) {}
    Q_DISABLE_COPY_MOVE(NotificationRecorder)

    std::vector<Notification> notifications;
    std::vector<std::vector<std::uint8_t>> reads;

    bool event(QEvent* e) override
    {
        if (e->type() != CWindowMessageEvent::EventType)
            return QObject::event(e);
        const auto* message = static_cast<CWindowMessageEvent*>(e);
        notifications.push_back({message->Message(), message->WParam(), message->LParam()});
        if (m_endpoint != nullptr) {
            FrameBuffer buffer{};
            sockaddr_in sender{};
            const int n = m_endpoint->ReadDatagram(buffer, sender);
            reads.emplace_back(buffer.begin(), buffer.begin() + std::max(n, 0));
        }
        return true;
    }

private:
    CUdpEndpoint* m_endpoint{nullptr};
};

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t first = 0)
{
    std::vector<std::uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

std::uint16_t BoundPort(int socket)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

// A plain socket holding a port on all interfaces, as another program would.
class PortHolder final
{
public:
    explicit PortHolder(std::uint16_t port) : m_socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP))
    {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        m_bound = ::bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }
    ~PortHolder() { ::close(m_socket); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool IsBound() const { return m_bound; }

private:
    int m_socket{-1};
    bool m_bound{false};
};

class UdpEndpointTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.IsValid());
        port = FreeUdpPort();
        ASSERT_NE(port, 0);
    }

    bool WaitForNotifications(const NotificationRecorder& recorder, std::size_t count)
    {
        return QTest::qWaitFor([&] { return recorder.notifications.size() >= count; }, kWaitMs);
    }

    UdpPeer peer;
    std::uint16_t port{0};
    CUdpEndpoint endpoint;
};

TEST_F(UdpEndpointTest, NotifiesTheWindowWithHandleAndReadEvent)
{
    NotificationRecorder window;
    ASSERT_TRUE(endpoint.Open(port, &window, WM_UDP_NOTIFY));
    EXPECT_TRUE(endpoint.IsOpen());
    ASSERT_GE(endpoint.GetHandle(), 0);
    EXPECT_EQ(BoundPort(endpoint.GetHandle()), port);

    ASSERT_TRUE(peer.SendTo(port, {0x0C, 0x00, 0x01}));
    ASSERT_TRUE(WaitForNotifications(window, 1));
    const Notification& n = window.notifications.front();
    EXPECT_EQ(n.message, WM_UDP_NOTIFY);
    EXPECT_EQ(n.wParam, static_cast<std::uintptr_t>(endpoint.GetHandle()));
    EXPECT_EQ(SelectEvent(n.lParam), FD_READ);
    EXPECT_EQ(SelectError(n.lParam), 0);

    FrameBuffer buffer{};
    sockaddr_in sender{};
    ASSERT_EQ(endpoint.ReadDatagram(buffer, sender), 3);
    EXPECT_EQ(buffer[0], 0x0C);
    EXPECT_EQ(buffer[2], 0x01);
    EXPECT_EQ(sender.sin_addr.s_addr, LoopbackAddress());
    EXPECT_EQ(sender.sin_port, peer.NetPort());

    // The acknowledgement path answers the sender from the bound port.
    const std::uint8_t ack[8]{8, 0, 1, 0, 0, 0, 0x82, 0x8B};
    EXPECT_EQ(endpoint.SendToSender(ack, 8, sender), 8);
    const auto answer = peer.Receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, std::vector<std::uint8_t>(std::begin(ack), std::end(ack)));
    EXPECT_EQ(answer->fromPort, port);
}

TEST_F(UdpEndpointTest, OneNotificationPerDatagramInArrivalOrder)
{
    NotificationRecorder window(&endpoint);
    ASSERT_TRUE(endpoint.Open(port, &window, WM_UDP_NOTIFY));
    for (std::uint8_t i = 1; i <= 3; ++i)
        ASSERT_TRUE(peer.SendTo(port, {i, i, i}));

    ASSERT_TRUE(WaitForNotifications(window, 3));
    QTest::qWait(kQuietMs);
    EXPECT_EQ(window.notifications.size(), 3u);
    const std::vector<std::vector<std::uint8_t>> expected{{1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
    EXPECT_EQ(window.reads, expected);
}

TEST_F(UdpEndpointTest, OnlyAReadRearmsTheNotification)
{
    NotificationRecorder window;
    ASSERT_TRUE(endpoint.Open(port, &window, WM_UDP_NOTIFY));
    ASSERT_TRUE(peer.SendTo(port, {1}));
    ASSERT_TRUE(peer.SendTo(port, {2}));

    ASSERT_TRUE(WaitForNotifications(window, 1));
    QTest::qWait(kQuietMs);
    EXPECT_EQ(window.notifications.size(), 1u);

    FrameBuffer buffer{};
    sockaddr_in sender{};
    ASSERT_EQ(endpoint.ReadDatagram(buffer, sender), 1);
    EXPECT_EQ(buffer[0], 1);
    ASSERT_TRUE(WaitForNotifications(window, 2));
    ASSERT_EQ(endpoint.ReadDatagram(buffer, sender), 1);
    EXPECT_EQ(buffer[0], 2);
    EXPECT_EQ(endpoint.ReadDatagram(buffer, sender), -1) << "nothing waits";
}

TEST_F(UdpEndpointTest, ReadResultByDatagramSize)
{
    const struct
    {
        std::size_t size;
        int expected;
    } cases[] = {{0, 0}, {1, 1}, {12, 12}, {128, 128}, {129, -1}, {200, -1}, {1400, -1}};

    NotificationRecorder window;
    ASSERT_TRUE(endpoint.Open(port, &window, WM_UDP_NOTIFY));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const auto payload = Pattern(c.size, 0x10);
        ASSERT_TRUE(peer.SendTo(port, payload));
        ASSERT_TRUE(WaitForNotifications(window, window.notifications.size() + 1));
        FrameBuffer buffer{};
        buffer.fill(0xEE);
        sockaddr_in sender{};
        EXPECT_EQ(endpoint.ReadDatagram(buffer, sender), c.expected);
        // An oversized datagram leaves its head in the buffer; the rest of the buffer is untouched.
        const std::size_t kept = std::min(c.size, buffer.size());
        EXPECT_TRUE(
            std::equal(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(kept), buffer.begin()));
        EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(kept), buffer.end(),
                                [](std::uint8_t b) { return b == 0xEE; }));
        EXPECT_EQ(endpoint.ReadDatagram(buffer, sender), -1) << "the datagram was consumed";
    }
}

TEST_F(UdpEndpointTest, QueuedNotificationAfterCloseReadsNothing)
{
    NotificationRecorder window;
    ASSERT_TRUE(endpoint.Open(port, &window, WM_UDP_NOTIFY));
    ASSERT_TRUE(peer.SendTo(port, {1, 2, 3}));
    ASSERT_TRUE(WaitForNotifications(window, 1));

    EXPECT_EQ(endpoint.Close(), 0);
    FrameBuffer buffer{};
    sockaddr_in sender{};
    EXPECT_EQ(endpoint.ReadDatagram(buffer, sender), -1);
    ASSERT_TRUE(peer.SendTo(port, {4}));
    QTest::qWait(kQuietMs);
    EXPECT_EQ(window.notifications.size(), 1u);
}

TEST_F(UdpEndpointTest, HeldPortLeavesTheEndpointOpenAndSending)
{
    const PortHolder holder(port);
    ASSERT_TRUE(holder.IsBound());
    NotificationRecorder window;

    EXPECT_FALSE(endpoint.Open(port, &window, WM_UDP_NOTIFY));
    EXPECT_TRUE(endpoint.IsOpen());
    EXPECT_EQ(endpoint.SendTo(LoopbackAddress(), peer.NetPort(), Pattern(5).data(), 5), 5);
    const auto received = peer.Receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->bytes, Pattern(5));
    EXPECT_NE(received->fromPort, port);
    EXPECT_NE(received->fromPort, 0);
    EXPECT_EQ(endpoint.Close(), 0);
    EXPECT_FALSE(endpoint.IsOpen());
}

TEST_F(UdpEndpointTest, SourcePortUsesItsLow16Bits)
{
    const struct
    {
        const char* name;
        int requested;
        bool systemPicks;
    } cases[] = {
        {"plain", port, false},
        {"above 65535", 0x10000 + port, false},
        {"far above 65535", 0x7FFF0000 + port, false},
        {"zero", 0, true},
        {"low bits zero", 0x10000, true},
    };
    NotificationRecorder window;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CUdpEndpoint candidate;
        ASSERT_TRUE(candidate.Open(c.requested, &window, WM_UDP_NOTIFY));
        const std::uint16_t bound = BoundPort(candidate.GetHandle());
        if (c.systemPicks)
            EXPECT_NE(bound, 0);
        else
            EXPECT_EQ(bound, port);
    }
}

TEST_F(UdpEndpointTest, SendsTheLow8BitsOfTheLength)
{
    const struct
    {
        int length;
        std::size_t sent;
    } cases[] = {{0, 0}, {12, 12}, {255, 255}, {256 + 12, 12}, {-1, 255}};

    NotificationRecorder window;
    ASSERT_TRUE(endpoint.Open(0, &window, WM_UDP_NOTIFY));
    const auto data = Pattern(512);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        EXPECT_EQ(endpoint.SendTo(LoopbackAddress(), peer.NetPort(), data.data(), c.length),
                  static_cast<int>(c.sent));
        const auto received = peer.Receive();
        ASSERT_TRUE(received);
        EXPECT_EQ(received->bytes, Pattern(c.sent));
    }
}

TEST_F(UdpEndpointTest, FailuresReturnMinusOneAndChangeNothing)
{
    const std::uint8_t frame[12]{};
    FrameBuffer buffer{};
    sockaddr_in sender{};

    // Closed: every operation fails on the invalid handle.
    EXPECT_EQ(endpoint.SendTo(LoopbackAddress(), peer.NetPort(), frame, 12), -1);
    EXPECT_EQ(endpoint.ReadDatagram(buffer, sender), -1);
    EXPECT_EQ(endpoint.Close(), -1);
    EXPECT_FALSE(peer.TryReceive());

    NotificationRecorder window;
    ASSERT_TRUE(endpoint.Open(port, &window, WM_UDP_NOTIFY));
    const int handle = endpoint.GetHandle();
    EXPECT_EQ(endpoint.ReadDatagram(buffer, sender), -1) << "nothing waits";
    EXPECT_EQ(endpoint.SendTo(INADDR_BROADCAST, peer.NetPort(), frame, 12), -1) << "no broadcast permission";

    // A second Open keeps the held socket and its notifications.
    EXPECT_FALSE(endpoint.Open(FreeUdpPort(), &window, WM_UDP_NOTIFY));
    EXPECT_EQ(endpoint.GetHandle(), handle);
    ASSERT_TRUE(peer.SendTo(port, {7}));
    ASSERT_TRUE(WaitForNotifications(window, 1));
    EXPECT_EQ(endpoint.ReadDatagram(buffer, sender), 1);

    EXPECT_EQ(endpoint.Close(), 0);
    EXPECT_EQ(endpoint.Close(), -1);
    EXPECT_EQ(endpoint.GetHandle(), INVALID_SOCKET);
}

TEST_F(UdpEndpointTest, WithoutAWindowItIsBoundButSilent)
{
    EXPECT_FALSE(endpoint.Open(port, nullptr, WM_UDP_NOTIFY));
    ASSERT_TRUE(endpoint.IsOpen());
    EXPECT_EQ(BoundPort(endpoint.GetHandle()), port);
}

TEST_F(UdpEndpointTest, DestructionReleasesThePort)
{
    {
        CUdpEndpoint scoped;
        NotificationRecorder window;
        ASSERT_TRUE(scoped.Open(port, &window, WM_UDP_NOTIFY));
        EXPECT_FALSE(PortHolder(port).IsBound());
    }
    EXPECT_TRUE(PortHolder(port).IsBound());
}

TEST_F(UdpEndpointTest, WindowDestroyedWhileOpenGetsNothingPosted)
{
    {
        NotificationRecorder window;
        ASSERT_TRUE(endpoint.Open(port, &window, WM_UDP_NOTIFY));
    }
    ASSERT_TRUE(peer.SendTo(port, {1}));
    // Must neither crash nor post to the dead window; the datagram stays for a read.
    QTest::qWait(kQuietMs);
    FrameBuffer buffer{};
    sockaddr_in sender{};
    EXPECT_EQ(endpoint.ReadDatagram(buffer, sender), 1);
}

} // namespace
