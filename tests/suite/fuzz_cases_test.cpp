#include "suite/fuzz_cases.h"

#include "protocol/acknowledgement.h"
#include "protocol/frame.h"
#include "protocol/hex.h"
#include "suite/frame_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <variant>

using namespace veltrano;

namespace {

const Bytes SEED = ParseHexBytes("0C 00 01 00 00 00 02 01 11 00 00 21").value();
const Bytes ACK = ParseHexBytes("08 00 01 00 00 00 82 8B").value();

bool SameBut(const Bytes& a, const Bytes& b, std::initializer_list<std::size_t> changed)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && std::find(changed.begin(), changed.end(), i) == changed.end())
            return false;
    }
    return true;
}

bool ChecksumRight(const Bytes& f)
{
    Bytes fixed = f;
    FixUpChecksum(fixed);
    return fixed == f;
}

bool StartsWith(const Bytes& f, const Bytes& prefix)
{
    return f.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), f.begin());
}

bool One(const std::vector<Bytes>& d)
{
    return d.size() == 1;
}

bool WellFormed(const Bytes& f)
{
    return !PanelFrameProblem(f).has_value();
}

using Check = bool (*)(const Bytes& seed, const std::vector<Bytes>& d);

} // namespace

// Each row changes what it names and nothing else; where it keeps the frame's end, its checksum is right.
TEST(FuzzClasses, EachRowChangesOnlyWhatItNames)
{
    struct Row
    {
        const char* id;
        Check check;
    };
    // clang-format off
    const Row rows[] = {
        {"empty", [](const Bytes&, const auto& d) { return One(d) && d[0].empty(); }},
        {"oversize", [](const Bytes& s, const auto& d) { return One(d) && d[0].size() > FRAME_BUFFER_SIZE && d[0].size() <= MAX_UDP_PAYLOAD && StartsWith(d[0], s); }},
        {"length-byte", [](const Bytes& s, const auto& d) { return One(d) && d[0][0] != s.size() && SameBut(d[0], s, {0, 11}) && ChecksumRight(d[0]); }},
        {"truncated", [](const Bytes& s, const auto& d) { return One(d) && !d[0].empty() && d[0].size() < s.size() && StartsWith(s, d[0]); }},
        {"trailing", [](const Bytes& s, const auto& d) { return One(d) && d[0].size() > s.size() && d[0].size() <= FRAME_BUFFER_SIZE && StartsWith(d[0], s); }},
        {"checksum", [](const Bytes& s, const auto& d) { return One(d) && SameBut(d[0], s, {11}) && d[0] != s; }},
        {"command-unknown", [](const Bytes& s, const auto& d) { return One(d) && SameBut(d[0], s, {6, 11}) && d[0][6] < ACK_FLAG && PanelFrameProblem(d[0]).value_or("").find("unknown") != std::string::npos && ChecksumRight(d[0]); }},
        {"command-ack", [](const Bytes& s, const auto& d) { return One(d) && SameBut(d[0], s, {6, 11}) && IsAcknowledgement(d[0]) && ChecksumRight(d[0]); }},
        {"debug-frame", [](const Bytes& s, const auto& d) { return One(d) && d[0].size() == DEBUG_FRAME_LENGTH && d[0][FRAME_COMMAND] == CMD_DEBUG && std::equal(s.begin() + 1, s.begin() + 6, d[0].begin() + 1) && WellFormed(d[0]); }},
        {"address-high", [](const Bytes& s, const auto& d) { return One(d) && SameBut(d[0], s, {1, 2, 11}) && std::max(d[0][1], d[0][2]) > MAX_ADDRESS_NUMBER && ChecksumRight(d[0]); }},
        {"reserved", [](const Bytes& s, const auto& d) { return One(d) && SameBut(d[0], s, {3, 4, 5, 11}) && (d[0][3] | d[0][4] | d[0][5]) != 0 && ChecksumRight(d[0]); }},
        {"status-bits", [](const Bytes& s, const auto& d) { const StatusBytes after{d[0][7], d[0][8], d[0][9], d[0][10]}; return One(d) && SameBut(d[0], s, {8, 10, 11}) && WellFormed(d[0]) && StatusStepProblem(DEFAULT_STATUS, after).has_value(); }},
        {"two-frames", [](const Bytes& s, const auto& d) { return One(d) && StartsWith(d[0], s) && WellFormed(Bytes(d[0].begin() + 12, d[0].end())); }},
        {"burst", [](const Bytes& s, const auto& d) { return d.size() >= 2 && d.size() <= 32 && std::ranges::all_of(d, [&](const Bytes& f) { return f == s; }); }},
        {"out-of-order", [](const Bytes& s, const auto& d) { return !d.empty() && std::ranges::all_of(d, WellFormed) && d[0][1] == s[1] && d[0][2] == s[2]; }},
    };
    // clang-format on
    for (const Row& row : rows) {
        const auto chosen = ChooseFuzzClasses(FuzzSide::Centre, std::vector<std::string>{row.id}, {}).value();
        const FuzzStream stream(7, chosen, {SEED});
        for (std::uint64_t i = 0; i < 200; ++i) {
            const FuzzCase c = stream.At(i);
            ASSERT_TRUE(row.check(SEED, c.datagrams))
                << row.id << " case " << i << ": "
                << FormatBytesHex(c.datagrams.empty() ? Bytes{} : c.datagrams[0]);
        }
    }
}

// The answer rows start from the acknowledgement the panel's frame is owed.
TEST(FuzzClasses, AnswerRowsChangeOnlyWhatTheyName)
{
    struct Row
    {
        const char* id;
        Check check;
    };
    // clang-format off
    const Row rows[] = {
        {"answer-correct", [](const Bytes& a, const auto& d) { return One(d) && d[0] == a; }},
        {"answer-checksum", [](const Bytes& a, const auto& d) { return One(d) && SameBut(d[0], a, {7}) && d[0] != a; }},
        {"answer-echo", [](const Bytes& a, const auto& d) { return One(d) && SameBut(d[0], a, {1, 2, 3, 4, 5, 7}) && d[0] != a && ChecksumRight(d[0]); }},
        {"answer-command", [](const Bytes& a, const auto& d) { return One(d) && SameBut(d[0], a, {6, 7}) && d[0][6] != a[6] && IsAcknowledgement(d[0]); }},
        {"answer-no-ack-bit", [](const Bytes& a, const auto& d) { return One(d) && SameBut(d[0], a, {6, 7}) && !IsAcknowledgement(d[0]) && ChecksumRight(d[0]); }},
        {"answer-overlong", [](const Bytes&, const auto& d) { return One(d) && d[0].size() > ACK_FRAME_LENGTH && d[0][0] == d[0].size() && ChecksumRight(d[0]); }},
        {"answer-truncated", [](const Bytes& a, const auto& d) { return One(d) && d[0].size() < a.size() && StartsWith(a, d[0]); }},
        {"answer-duplicated", [](const Bytes& a, const auto& d) { return d.size() >= 2 && d[0] == a && d[1] == a; }},
        {"answer-unsolicited", [](const Bytes& a, const auto& d) { return d.size() == 2 && d[0] == a && d[1] != a; }},
        {"answer-none", [](const Bytes&, const auto& d) { return d.empty(); }},
    };
    // clang-format on
    for (const Row& row : rows) {
        const auto chosen = ChooseFuzzClasses(FuzzSide::Panel, std::vector<std::string>{row.id}, {}).value();
        const FuzzStream stream(9, chosen);
        for (std::uint64_t i = 0; i < 100; ++i) {
            const FuzzCase c = stream.Answer(i, SEED);
            if (FuzzClasses()[c.row].id == row.id)
                ASSERT_TRUE(row.check(ACK, c.datagrams)) << row.id << " answer " << i;
            else
                ASSERT_EQ(c.datagrams, std::vector<Bytes>{ACK}) << "the correct answers between";
        }
    }
}

TEST(FuzzStream, OneSeedOneStreamInAnyOrder)
{
    const auto all = ChooseFuzzClasses(FuzzSide::Centre, {}, {}).value();
    const FuzzStream a(42, all), b(42, all), other(43, all);
    std::size_t differing = 0;
    for (std::uint64_t i = 100; i-- > 0;) { // backwards: a case never depends on the ones before
        EXPECT_EQ(a.At(i).datagrams, b.At(i).datagrams);
        differing += a.At(i).datagrams != other.At(i).datagrams ? 1 : 0;
    }
    EXPECT_GT(differing, 50U);
    std::vector<bool> seen(FuzzClasses().size());
    for (std::uint64_t i = 0; i < 2000; ++i)
        seen[a.At(i).row] = true;
    for (const std::size_t row : all)
        EXPECT_TRUE(seen[row]) << FuzzClasses()[row].id;
}

TEST(FuzzStream, ClassChoiceNamesWhatIsWrong)
{
    struct Row
    {
        FuzzSide side;
        std::vector<std::string> only, skip;
        const char* error; // empty: chosen
    };
    const Row rows[] = {
        {FuzzSide::Centre, {"empty", "burst"}, {}, ""},
        {FuzzSide::Centre, {"no-such"}, {}, "no-such"},
        {FuzzSide::Centre, {"answer-none"}, {}, "answer-none"},
        {FuzzSide::Panel, {"answer-none"}, {"answer-none"}, "no mutation class left"},
    };
    for (const Row& row : rows) {
        const auto chosen = ChooseFuzzClasses(row.side, row.only, row.skip);
        if (*row.error == '\0')
            EXPECT_EQ(chosen.value().size(), row.only.size());
        else
            EXPECT_NE(chosen ? std::string::npos : chosen.error().find(row.error), std::string::npos);
    }
    EXPECT_FALSE(PanelFrameProblem(ProbeFrame()).has_value());
}
