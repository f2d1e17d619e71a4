#include "link/line_output.h"
#include "link/stop_and_wait.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::StopAndWait;

const Endpoint CENTRE{LOOPBACK_ADDRESS, 7015};
const Endpoint LOCAL{LOOPBACK_ADDRESS, 40000};
const std::vector<std::uint8_t> ONLINE = Bytes("08 00 01 00 00 00 01 0A");
const std::vector<std::uint8_t> ONLINE_ACK = Bytes("08 00 01 00 00 00 81 8A");
using known::STATUS;
using known::STATUS_ACK;
const std::vector<std::uint8_t> SPOILT_STATUS_ACK = Bytes("08 00 01 00 00 00 82 74");
const MonoTime T0{std::chrono::seconds(100)};

std::string Summary(const StopAndWait& frames)
{
    std::string line;
    AppendSummary(line, veltrano::OutputFormat::Text, "send", frames.SummaryFields(1));
    return line;
}

bool Answer(StopAndWait& frames, const std::vector<std::uint8_t>& bytes, MonoTime at)
{
    FrameRecord record = MakeRecord(0, Direction::In, CENTRE, LOCAL, bytes);
    return frames.Received(record, at);
}

// One frame, its acknowledgement coming after `timeouts` waits ran out (never when -1).
TEST(StopAndWait, AFrameGoesAgainUpToItsRetriesThenIsMissing)
{
    struct Case
    {
        const char* name;
        bool expectAck;
        int retries;
        int answeredAfter; // waits that run out before the answer; -1: none comes
        int attempts;
        std::uint64_t missing;
        std::string notes; // of each attempt's line
    };
    // clang-format off
    const Case cases[] = {
        {"nothing awaited, nothing waits", false, 2, -1, 1, 0, "[]"},
        {"answered at once",               true,  0,  0, 1, 0, "[]"},
        {"answered on the second attempt", true,  2,  1, 2, 0, "[][retry]"},
        {"exactly the retries, then given up", true, 2, -1, 3, 1, "[][retry][retry]"},
        {"no retries: one wait",           true,  0, -1, 1, 1, "[]"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StopAndWait frames({STATUS}, {CENTRE, c.expectAck, c.retries});
        std::string notes = "[" + std::string(frames.Sent(true, T0)) + "]";
        bool answered = false;
        for (int waited = 0; frames.Waiting(); ++waited) {
            if (waited == c.answeredAfter) {
                answered = Answer(frames, STATUS_ACK, T0 + 1ms);
                break;
            }
            if (!frames.TimedOut())
                break;
            notes += "[" + std::string(frames.Sent(true, T0)) + "]";
        }
        EXPECT_EQ(answered, c.answeredAfter >= 0 && c.expectAck);
        EXPECT_FALSE(frames.Waiting());
        EXPECT_EQ(frames.Attempts(), c.attempts);
        EXPECT_EQ(frames.Missing(), c.missing);
        EXPECT_EQ(notes, c.notes);
        frames.Next();
        EXPECT_TRUE(frames.Done());
    }
}

TEST(StopAndWait, OnlyTheCurrentFramesOwnAcknowledgementMovesOn)
{
    StopAndWait frames({ONLINE, STATUS}, {CENTRE, true, 0});
    struct Case
    {
        const char* name;
        std::size_t sendFirst; // the frame that goes before this arrival, if it is not already out
        std::vector<std::uint8_t> datagram;
        bool answered;
    };
    // clang-format off
    const Case cases[] = {
        {"the next frame's answer",    0, STATUS_ACK,        false},
        {"the frame echoed back",      0, ONLINE,            false},
        {"its own answer",             0, ONLINE_ACK,        true},
        {"a spoilt answer",            1, SPOILT_STATUS_ACK, false},
        {"the earlier frame's repeat", 1, ONLINE_ACK,        false},
        {"its own, at last",           1, STATUS_ACK,        true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.sendFirst != frames.Index()) {
            frames.Next();
            ASSERT_EQ(frames.Index(), c.sendFirst);
        }
        if (!frames.Waiting() && frames.Attempts() == 0)
            frames.Sent(true, T0);
        EXPECT_EQ(Answer(frames, c.datagram, T0 + 3ms), c.answered);
    }
    EXPECT_EQ(Summary(frames), "summary: send frames=2 sent=2 acknowledged=2 missing=0 retries=0 bad_acks=1 "
                               "unexpected=3 send_failed=0 rtt_p50_us=3000 rtt_max_us=3000 exit=1\n");
}

TEST(StopAndWait, ARefusedSendIsCountedAndStillWaitsForItsAnswer)
{
    StopAndWait frames({STATUS}, {CENTRE, true, 1});
    frames.Sent(false, T0);
    EXPECT_TRUE(frames.Waiting());
    ASSERT_TRUE(frames.TimedOut());
    frames.Sent(true, T0 + 100ms);
    // The round trip counts from the last send.
    EXPECT_TRUE(Answer(frames, STATUS_ACK, T0 + 104ms));
    EXPECT_EQ(Summary(frames), "summary: send frames=1 sent=1 acknowledged=1 missing=0 retries=1 bad_acks=0 "
                               "unexpected=0 send_failed=1 rtt_p50_us=4000 rtt_max_us=4000 exit=1\n");
}

} // namespace
