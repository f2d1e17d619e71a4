#include "tests/engine/engine_harness.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <tuple>

namespace {

const char* const STATUS = "0C 00 01 00 00 00 02 01 11 00 00 21";
const char* const STATUS_ACK = "08 00 01 00 00 00 82 8B";
const char* const ONLINE = "08 00 02 00 00 00 01 0B";
const char* const ONLINE_ACK = "08 00 02 00 00 00 81 8B";
const std::string OVERSIZED = QByteArray(200, 0x08).toHex(' ').toStdString();

TEST(Receiver, ShowsEveryFrameAndAnswersAllButAcknowledgements)
{
    // Name, datagrams sent together, received list afterwards, acknowledgements back to the peer in order.
    using Strings = std::vector<std::string>;
    const std::tuple<const char*, Strings, Strings, Strings> cases[] = {
        // clang-format off
        {"status frame",                  {STATUS},                                     {Line(STATUS)},                                             {STATUS_ACK}},
        {"acknowledgements",              {STATUS_ACK, "08 00 01 00 00 00 80 89", ONLINE}, {Line(STATUS_ACK), Line("08 00 01 00 00 00 80 89"), Line(ONLINE)}, {ONLINE_ACK}},
        {"three together, in order",      {STATUS, ONLINE, STATUS},                     {Line(STATUS), Line(ONLINE), Line(STATUS)},                 {STATUS_ACK, ONLINE_ACK, STATUS_ACK}},
        {"oversized and empty datagrams", {OVERSIZED, "", ONLINE},                      {Line(ONLINE)},                                             {ONLINE_ACK}},
        // The short frame must not inherit byte 6 (0x82) of the one before it.
        {"short frame after a long one",  {STATUS_ACK, "0C 01 02 03 04"},               {Line(STATUS_ACK), Line("0C 01 02 03 04 00 00 00 00 00 00 00")}, {"08 01 02 03 04 00 80 92"}},
        {"length byte 0",                 {"00 00 01 00 00 00 02 00"},                  {"00 "},                                                    {STATUS_ACK}},
        {"wrong checksum still answered", {"08 00 01 00 00 00 01 FF"},                  {Line("08 00 01 00 00 00 01 FF")},                          {"08 00 01 00 00 00 81 8A"}},
        // clang-format on
    };
    for (const auto& [name, datagrams, shown, acks] : cases) {
        SCOPED_TRACE(name);
        EngineHarness h;
        for (const auto& datagram : datagrams)
            ASSERT_TRUE(h.peer.SendTo(h.Port(), Bytes(datagram)));
        ASSERT_TRUE(h.WaitForLines(IDC_RECV_LIST, shown.size()));
        ASSERT_TRUE(h.WaitForLines(IDC_SENT_LIST, acks.size()));
        EXPECT_EQ(h.Received(), shown);
        for (std::size_t i = 0; i < acks.size(); ++i) {
            EXPECT_EQ(h.Sent()[i], Line(acks[i]));
            EXPECT_EQ(h.Next(), Bytes(acks[i]));
        }
        EXPECT_TRUE(h.NothingSentBefore());
    }
}

// A datagram waits while notifications that are not a clean read arrive, then is read at the next one.
TEST(Receiver, OnlyACleanReadNotificationReads)
{
    EngineHarness h;
    ASSERT_TRUE(h.peer.SendTo(h.Port(), Bytes(ONLINE)));
    EXPECT_EQ(h.engine.OnUdpNotify(0, MakeSelectLParam(FD_READ, 10054)), -1);
    EXPECT_EQ(h.engine.OnUdpNotify(0, MakeSelectLParam(8, 0)), 0);
    EXPECT_TRUE(h.Received().empty());
    EXPECT_TRUE(h.WaitForLines(IDC_RECV_LIST, 1));
}

// An acknowledgement is never answered, so two simulators aimed at each other do not loop.
TEST(Receiver, TwoEnginesExchangeOneFrameAndOneAcknowledgement)
{
    EngineHarness a;
    EngineHarness b;
    a.console.texts[IDC_DEST_PORT] = QString::number(b.Port());
    a.console.selection = 3;
    a.engine.OnSendEvent();
    ASSERT_TRUE(a.WaitForLines(IDC_RECV_LIST, 1));
    // a would have listed an answer to the acknowledgement while listing the acknowledgement.
    EXPECT_EQ(a.Sent(), std::vector{Line(STATUS)});
    EXPECT_EQ(b.Received(), std::vector{Line(STATUS)});
    EXPECT_EQ(b.Sent(), std::vector{Line(STATUS_ACK)});
    EXPECT_EQ(a.Received(), std::vector{Line(STATUS_ACK)});
}

} // namespace
