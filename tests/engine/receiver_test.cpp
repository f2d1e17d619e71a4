#include "tests/engine/engine_harness.h"
#include "tests/support/known_frames.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <tuple>

using namespace veltrano;

namespace {

const char* const STATUS = known::STATUS_HEX;
const char* const STATUS_ACK = known::STATUS_ACK_HEX;
const char* const ONLINE = "08 00 02 00 00 00 01 0B";
const char* const ONLINE_ACK = "08 00 02 00 00 00 81 8B";
const std::string OVERSIZED = QByteArray(200, 0x08).toHex(' ').toStdString();

TEST(Receiver, ShowsEveryFrameAndAnswersAllButAcknowledgements)
{
    using Strings = std::vector<std::string>;
    struct Case
    {
        const char* name;
        Strings datagrams; // sent together
        Strings shown;     // the received list afterwards
        Strings acks;      // back at the peer, in order
    };
    // clang-format off
    const Case cases[] = {
        {"status frame",                  {STATUS},                                        {Line(STATUS)},                                             {STATUS_ACK}},
        {"acknowledgements",              {STATUS_ACK, "08 00 01 00 00 00 80 89", ONLINE}, {Line(STATUS_ACK), Line("08 00 01 00 00 00 80 89"), Line(ONLINE)}, {ONLINE_ACK}},
        {"three together, in order",      {STATUS, ONLINE, STATUS},                        {Line(STATUS), Line(ONLINE), Line(STATUS)},                 {STATUS_ACK, ONLINE_ACK, STATUS_ACK}},
        {"oversized and empty datagrams", {OVERSIZED, "", ONLINE},                         {Line(ONLINE)},                                             {ONLINE_ACK}},
        // Short frames must not inherit byte 5 or 6 (0x82) of the longer one before them.
        {"five bytes after a long frame", {STATUS_ACK, "0C 01 02 03 04"},                  {Line(STATUS_ACK), Line("0C 01 02 03 04 00 00 00 00 00 00 00")}, {"08 01 02 03 04 00 80 92"}},
        {"six bytes after a long frame",  {STATUS_ACK, "0C 01 02 03 04 05"},               {Line(STATUS_ACK), Line("0C 01 02 03 04 05 00 00 00 00 00 00")}, {"08 01 02 03 04 05 80 97"}},
        {"length byte 0",                 {"00 00 01 00 00 00 02 00"},                     {"00 "},                                                    {STATUS_ACK}},
        {"wrong checksum still answered", {"08 00 01 00 00 00 01 FF"},                     {Line("08 00 01 00 00 00 01 FF")},                          {"08 00 01 00 00 00 81 8A"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        for (const auto& datagram : c.datagrams)
            ASSERT_TRUE(h.peer.SendTo(h.Port(), Bytes(datagram)));
        ASSERT_TRUE(h.WaitForLines(LogList::Received, c.shown.size()));
        ASSERT_TRUE(h.WaitForLines(LogList::Sent, c.acks.size()));
        EXPECT_EQ(h.Received(), c.shown);
        for (std::size_t i = 0; i < c.acks.size(); ++i) {
            EXPECT_EQ(h.Sent()[i], Line(c.acks[i]));
            EXPECT_EQ(h.Next(), Bytes(c.acks[i]));
        }
        // Each line names the peer it came from or went to.
        for (const auto* lines : {&h.console.received, &h.console.sent})
            for (const RecordingConsole::Line& line : *lines)
                EXPECT_EQ(line.peer, (Endpoint{LoopbackAddress(), h.peer.Port()}));
        EXPECT_TRUE(h.NothingSentBefore());
    }
}

// An acknowledgement is never answered, so two simulators aimed at each other do not loop.
TEST(Receiver, TwoEnginesExchangeOneFrameAndOneAcknowledgement)
{
    EngineHarness a;
    EngineHarness b;
    a.console.destinationPort = QString::number(b.Port());
    a.console.selection = 3;
    a.engine.OnSendEvent();
    ASSERT_TRUE(a.WaitForLines(LogList::Received, 1));
    // a would have listed an answer to the acknowledgement while listing the acknowledgement.
    EXPECT_EQ(a.Sent(), std::vector{Line(STATUS)});
    EXPECT_EQ(b.Received(), std::vector{Line(STATUS)});
    EXPECT_EQ(b.Sent(), std::vector{Line(STATUS_ACK)});
    EXPECT_EQ(a.Received(), std::vector{Line(STATUS_ACK)});
}

} // namespace
