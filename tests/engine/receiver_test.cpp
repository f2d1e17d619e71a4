#include "engine/control_ids.h"
#include "tests/engine/engine_harness.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ReceiveCase
{
    const char* name;
    std::vector<std::vector<std::uint8_t>> datagrams; // sent together, in this order
    std::vector<std::string> shown;                   // received list afterwards
    std::vector<const char*> acks;                    // on the wire back to the peer, in order
};

std::vector<std::uint8_t> Filled(std::size_t size, std::uint8_t first, std::uint8_t rest)
{
    std::vector<std::uint8_t> bytes(size, rest);
    bytes[0] = first;
    return bytes;
}

std::string Groups(std::size_t count)
{
    std::string line = " C8";
    for (std::size_t i = 1; i < count; ++i)
        line += " 00";
    return line;
}

const std::vector<std::uint8_t> STATUS = Bytes("0C 00 01 00 00 00 02 01 11 00 00 21");
const std::vector<std::uint8_t> STATUS_ACK = Bytes("08 00 01 00 00 00 82 8B");
const std::vector<std::uint8_t> ONLINE = Bytes("08 00 02 00 00 00 01 0B");

TEST(Receiver, ShowsEveryFrameAndAnswersAllButAcknowledgements)
{
    const ReceiveCase cases[] = {
        {"status frame",
         {STATUS},
         {Line("0C 00 01 00 00 00 02 01 11 00 00 21")},
         {"08 00 01 00 00 00 82 8B"}},
        {"acknowledgements",
         {STATUS_ACK, Bytes("08 00 01 00 00 00 80 89"), ONLINE},
         {Line("08 00 01 00 00 00 82 8B"), Line("08 00 01 00 00 00 80 89"), Line("08 00 02 00 00 00 01 0B")},
         {"08 00 02 00 00 00 81 8B"}},
        {"three together, in order",
         {STATUS, ONLINE, Bytes("08 00 03 00 00 00 04 0F")},
         {Line("0C 00 01 00 00 00 02 01 11 00 00 21"), Line("08 00 02 00 00 00 01 0B"),
          Line("08 00 03 00 00 00 04 0F")},
         {"08 00 01 00 00 00 82 8B", "08 00 02 00 00 00 81 8B", "08 00 03 00 00 00 84 8F"}},
        {"oversized and empty datagrams",
         {Filled(200, 0x08, 0x01), {}, ONLINE},
         {Line("08 00 02 00 00 00 01 0B")},
         {"08 00 02 00 00 00 81 8B"}},
        // The short frame must not inherit byte 6 (0x82) of the one before it.
        {"short frame after a long one",
         {STATUS_ACK, Bytes("0C 01 02 03 04")},
         {Line("08 00 01 00 00 00 82 8B"), Line("0C 01 02 03 04 00 00 00 00 00 00 00")},
         {"08 01 02 03 04 00 80 92"}},
        {"length byte 0", {Bytes("00 00 01 00 00 00 02 00")}, {"00 "}, {"08 00 01 00 00 00 82 8B"}},
        {"length byte past the buffer",
         {Filled(128, 0xC8, 0x00)},
         {Groups(128)},
         {"08 00 00 00 00 00 80 88"}},
        {"wrong checksum still answered",
         {Bytes("08 00 01 00 00 00 01 FF")},
         {Line("08 00 01 00 00 00 01 FF")},
         {"08 00 01 00 00 00 81 8A"}},
    };
    for (const ReceiveCase& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        for (const auto& datagram : c.datagrams)
            ASSERT_TRUE(h.peer.SendTo(h.Port(), datagram));
        ASSERT_TRUE(h.WaitForLines(IDC_RECV_LIST, c.shown.size()));
        ASSERT_TRUE(h.WaitForLines(IDC_SENT_LIST, c.acks.size()));
        EXPECT_EQ(h.console.Lines(IDC_RECV_LIST), c.shown);
        for (std::size_t i = 0; i < c.acks.size(); ++i) {
            EXPECT_EQ(h.console.Lines(IDC_SENT_LIST)[i], Line(c.acks[i]));
            const auto ack = h.peer.Receive();
            ASSERT_TRUE(ack);
            EXPECT_EQ(ack->bytes, Bytes(c.acks[i]));
            EXPECT_EQ(ack->fromPort, h.Port());
        }
        EXPECT_TRUE(h.NothingSentBefore());
    }
}

TEST(Receiver, NotificationWithoutReadEventReadsNothing)
{
    EngineHarness h;
    EXPECT_EQ(h.engine.OnUdpNotify(0, MakeSelectLParam(FD_READ, 10054)), -1);
    EXPECT_EQ(h.engine.OnUdpNotify(0, MakeSelectLParam(8, 0)), 0);
    h.engine.OnStop();
    EXPECT_EQ(h.engine.OnUdpNotify(0, MakeSelectLParam(FD_READ, 0)), 0);
    EXPECT_TRUE(h.console.Lines(IDC_RECV_LIST).empty());
}

// An acknowledgement is never answered, so two simulators aimed at each other do not loop.
TEST(Receiver, TwoEnginesExchangeOneFrameAndOneAcknowledgementPerEvent)
{
    EngineHarness a;
    EngineHarness b;
    a.console.SetDestination(b.Port());
    a.console.selection = 3;
    for (std::size_t event = 1; event <= 2; ++event) {
        a.engine.OnSendEvent();
        ASSERT_TRUE(a.WaitForLines(IDC_RECV_LIST, event));
    }
    // Anything a answered would have reached b before a's second event.
    const std::vector<std::string> frame(2, Line("0C 00 01 00 00 00 02 01 11 00 00 21"));
    const std::vector<std::string> ack(2, Line("08 00 01 00 00 00 82 8B"));
    EXPECT_EQ(b.console.Lines(IDC_RECV_LIST), frame);
    EXPECT_EQ(b.console.Lines(IDC_SENT_LIST), ack);
    EXPECT_EQ(a.console.Lines(IDC_SENT_LIST), frame);
    EXPECT_EQ(a.console.Lines(IDC_RECV_LIST), ack);
}

} // namespace
