#include "suite/centre_cases.h"

#include "suite/case_selection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace veltrano;
using namespace std::chrono_literals;

namespace {

const Endpoint TARGET{LOOPBACK_ADDRESS, 8015};
const CentreSetting SETTING{TARGET, 300, {40001, 40002}, 1000, 1};

// How a centre under test answers what a case sent.
enum class Centre : std::uint8_t
{
    Conforming,
    Silent,
    SpoiltChecksums,
    OtherSendersPort,  // each answer to the socket the frame did not leave from
    Reversed,          // the answers of a burst in the opposite order
    AnswersEverything, // also what the rule leaves unanswered, with the datagram's own first bytes
};

std::vector<CentreExchange::Arrival> AnswersOf(const CentreExchange& exchange, Centre centre, MonoTime at)
{
    std::vector<CentreExchange::Arrival> arrivals;
    for (const auto& sent : exchange.Frames()) {
        std::size_t socket = sent.datagram.socket;
        if (centre == Centre::OtherSendersPort)
            socket = 1 - socket;
        if (!sent.expected) {
            if (centre == Centre::AnswersEverything)
                arrivals.push_back({socket, TARGET,
                                    Bytes(sent.datagram.bytes.begin(),
                                          sent.datagram.bytes.begin() +
                                              std::min<std::ptrdiff_t>(8, std::ssize(sent.datagram.bytes))),
                                    at});
            continue;
        }
        Bytes ack(sent.expected->begin(), sent.expected->end());
        if (centre == Centre::SpoiltChecksums)
            ack.back() ^= 0xFF;
        if (centre != Centre::Silent)
            arrivals.push_back({socket, TARGET, std::move(ack), at});
    }
    if (centre == Centre::Reversed)
        std::ranges::reverse(arrivals);
    return arrivals;
}

// The verdict of every case but the load, against a centre answering so.
std::map<std::string, Judgement> JudgeEveryCase(Centre centre)
{
    FreshFrames fresh;
    std::map<std::string, Judgement> judged;
    const MonoTime sent = MonoTime{} + 1s;
    for (const CentreCase& row : CentreCases()) {
        if (row.wait == CentreWait::Load)
            continue;
        CentreExchange exchange;
        exchange.Begin(row.send(fresh), TARGET, sent);
        for (const auto& arrival : AnswersOf(exchange, centre, sent + 2ms))
            exchange.Arrived(arrival.socket, arrival.from, arrival.bytes, arrival.at);
        judged.emplace(row.id, row.judge(exchange, SETTING));
    }
    return judged;
}

const std::set<std::string> ACK_CASES = {"ack-every-event",      "ack-debug-frame",   "ack-wrong-checksum",
                                         "ack-short-frame",      "ack-length-zero",   "burst-in-order",
                                         "reply-to-each-sender", "duplicate-answered"};

} // namespace

TEST(CentreCases, EveryIdOnceInTheOrderTheyRunEachWithItsRule)
{
    const std::vector<std::string_view> expected = {
        "ack-every-event", "ack-debug-frame",      "ack-wrong-checksum", "ack-short-frame",
        "ack-length-zero", "no-answer-to-ack",     "no-answer-empty",    "no-answer-oversize",
        "burst-in-order",  "reply-to-each-sender", "duplicate-answered", "load"};
    std::vector<std::string_view> ids;
    for (const CentreCase& row : CentreCases()) {
        ids.push_back(row.id);
        EXPECT_FALSE(row.requirement.empty()) << row.id;
        // Only the load has no datagrams and judge of its own: it is paced and judged by CentreLoad.
        EXPECT_EQ(row.send == nullptr, row.wait == CentreWait::Load) << row.id;
        EXPECT_EQ(row.judge == nullptr, row.wait == CentreWait::Load) << row.id;
    }
    EXPECT_EQ(ids, expected);
}

// Each fault of the centre fails its cases and no other, and the failures say what was expected and what
// came.
TEST(CentreCases, EachFaultOfTheCentreFailsItsCasesAndNoOtherSayingWhatCame)
{
    struct Row
    {
        const char* name;
        Centre centre;
        std::set<std::string> failed;                              // and every other case passes
        std::vector<std::pair<const char*, const char*>> messages; // id, found in its verdict's message
    };
    // clang-format off
    const Row rows[] = {
        {"conforming", Centre::Conforming, {}, {{"duplicate-answered", "answered twice, rtt max 2.000 ms"}}},
        {"silent", Centre::Silent, ACK_CASES, {{"ack-every-event", "23 of 23 frames; online: expected "}, {"ack-debug-frame", "from 127.0.0.1:8015 within 300 ms, got nothing"}}},
        {"spoilt checksums", Centre::SpoiltChecksums, ACK_CASES, {{"ack-short-frame", " after 2.000 ms"}}},
        {"answers to the other sender's port", Centre::OtherSendersPort, {"reply-to-each-sender"}, {{"reply-to-each-sender", "to port 40001 within 300 ms, got "}, {"reply-to-each-sender", "to port 40002"}}},
        {"answers a burst backwards", Centre::Reversed, {"burst-in-order"}, {}},
        {"answers everything", Centre::AnswersEverything, {"no-answer-to-ack", "no-answer-empty", "no-answer-oversize"}, {{"no-answer-to-ack", "expected nothing within 300 ms after an acknowledgement, got "}}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto judged = JudgeEveryCase(row.centre);
        std::set<std::string> failed;
        for (const auto& [id, judgement] : judged) {
            EXPECT_NE(judgement.outcome, Outcome::Skipped) << id;
            if (judgement.outcome == Outcome::Failed)
                failed.insert(id);
        }
        EXPECT_EQ(failed, row.failed);
        for (const auto& [id, message] : row.messages)
            EXPECT_NE(judged.at(id).message.find(message), std::string::npos) << judged.at(id).message;
    }
}

TEST(CentreCases, AnswerWithAWrongChecksumIsTakenAsTheFramesAndFailsIt)
{
    FreshFrames fresh;
    CentreExchange exchange;
    const Bytes frame = fresh.Event(3);
    exchange.Begin({{frame, 0, {}}}, TARGET, MonoTime{});
    ASSERT_TRUE(exchange.Frames()[0].expected);
    Bytes spoilt(exchange.Frames()[0].expected->begin(), exchange.Frames()[0].expected->end());
    spoilt.back() ^= 0xFF;
    exchange.Arrived(0, TARGET, spoilt, MonoTime{} + 1ms);
    // A spoilt answer is all a case waits for: a centre sends one answer per frame.
    EXPECT_TRUE(exchange.AllAnswered());
    // One from another peer is nobody's.
    CentreExchange other;
    other.Begin({{frame, 0, {}}}, TARGET, MonoTime{});
    other.Arrived(0, Endpoint{LOOPBACK_ADDRESS, 9},
                  Bytes(exchange.Frames()[0].expected->begin(), exchange.Frames()[0].expected->end()),
                  MonoTime{});
    EXPECT_FALSE(other.AllAnswered());
}

TEST(CentreLoad, AllAnsweredRightPassesAnythingLessFails)
{
    struct Row
    {
        const char* name;
        int frames;
        int lost;
        int spoilt;
        Outcome outcome;
        const char* message;
    };
    const Row rows[] = {
        {"all answered", 4, 0, 0, Outcome::Passed, "4 frames at 4/s: all answered, rtt p50 "},
        {"one lost", 4, 1, 0, Outcome::Failed, "got 3 (1 lost, 0 with a wrong checksum)"},
        {"one spoilt", 4, 0, 1, Outcome::Failed, "got 3 (1 lost, 1 with a wrong checksum)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FreshFrames fresh;
        CentreSetting setting = SETTING;
        setting.loadRate = row.frames;
        setting.loadSeconds = 1;
        CentreLoad load(setting, MonoTime{});
        const std::vector<Bytes> frames = load.Due(MonoTime{} + 1s, fresh);
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(row.frames));
        EXPECT_FALSE(load.Settled());
        for (int i = row.lost; i < row.frames; ++i) {
            const auto ack = std::get<AckFrame>(AcknowledgementFor(frames[static_cast<std::size_t>(i)]));
            Bytes answer(ack.begin(), ack.end());
            if (i < row.lost + row.spoilt)
                answer.back() ^= 0xFF;
            load.Arrived(TARGET, answer, MonoTime{} + 1s + 1ms);
        }
        EXPECT_EQ(load.Settled(), row.lost + row.spoilt == 0);
        const Judgement judgement = load.Judge(setting);
        EXPECT_EQ(judgement.outcome, row.outcome);
        EXPECT_NE(judgement.message.find(row.message), std::string::npos) << judgement.message;
    }
}

TEST(CentreLoad, SendsWhatTheRateOwesByNowAndNoMoreThanItsFrames)
{
    struct Row
    {
        const char* name;
        std::vector<int> atMs;        // ticks of the clock, after the start
        std::vector<std::size_t> due; // frames due at each
    };
    const Row rows[] = {
        {"the first at once", {0, 0}, {1, 0}},
        {"one each 25 ms at 40/s", {0, 30, 60, 60}, {1, 1, 1, 0}},
        {"a late tick catches up", {0, 260}, {1, 10}},
        {"never past the last", {0, 600, 5000}, {1, 19, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FreshFrames fresh;
        CentreSetting setting = SETTING;
        setting.loadRate = 40;
        setting.loadSeconds = 0.5; // 20 frames
        CentreLoad load(setting, MonoTime{});
        std::vector<std::size_t> due;
        for (int at : row.atMs)
            due.push_back(load.Due(MonoTime{} + std::chrono::milliseconds(at), fresh).size());
        EXPECT_EQ(due, row.due);
    }
}

TEST(ChooseCases, OnlyThenSkipInTheOrderOfTheCasesAndUnknownIdsRefused)
{
    const std::vector<std::string_view> ids = {"a", "b", "c"};
    struct Row
    {
        const char* name;
        std::vector<std::string> only;
        std::vector<std::string> skip;
        std::vector<bool> chosen; // empty: refused
    };
    const Row rows[] = {
        {"every case", {}, {}, {true, true, true}},
        {"only", {"c", "a"}, {}, {true, false, true}},
        {"skip", {}, {"b"}, {true, false, true}},
        {"skip every one", {}, {"a", "b", "c"}, {false, false, false}},
        {"only less skip", {"a", "b"}, {"a"}, {false, true, false}},
        {"unknown in only", {"a", "d"}, {}, {}},
        {"unknown in skip", {}, {"d"}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto chosen = ChooseCases(ids, row.only, row.skip);
        if (row.chosen.empty()) {
            ASSERT_FALSE(chosen);
            EXPECT_EQ(chosen.error(), "unknown case \"d\" (cases: a, b, c)");
        } else {
            ASSERT_TRUE(chosen) << chosen.error();
            EXPECT_EQ(*chosen, row.chosen);
        }
    }
}

TEST(ChooseCases, CentreCasesAreChosenByTheirIds)
{
    const std::vector<std::string> skip = {"load", "ack-every-event"};
    const auto chosen = ChooseCentreCases({}, skip);
    ASSERT_TRUE(chosen);
    ASSERT_EQ(chosen->size(), CentreCases().size());
    for (std::size_t i = 0; i < chosen->size(); ++i) {
        const bool skipped = std::ranges::find(skip, CentreCases()[i].id) != skip.end();
        EXPECT_EQ((*chosen)[i], !skipped) << CentreCases()[i].id;
    }
    EXPECT_FALSE(ChooseCentreCases(std::vector<std::string>{"ack-every-events"}, {}));
}
