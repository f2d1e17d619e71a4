#include "book/centre_book.h"

#include "protocol/frame_decoder.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"
#include "tests/support/hex_text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::CentreBook;
using veltrano::OutputFormat;

const veltrano::SteadyTime START = veltrano::SteadyTime{} + 1h;
constexpr std::int64_t WALL = 1'800'000'000'000'000; // 2027-01-15T08:00:00Z
const Endpoint PANEL{0x7F000001, 5000};

DecodedFrame Status(std::uint8_t dev, std::uint8_t alarm)
{
    const std::vector<std::uint8_t> bytes{0x0C, 0x00, dev,   0x00, 0x00, 0x00,
                                          0x02, 0x01, alarm, 0x00, 0x00, 0x00};
    std::vector<std::uint8_t> framed = bytes;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < framed.size(); ++i)
        sum = static_cast<std::uint8_t>(sum + framed[i]);
    framed.back() = sum;
    return DecodeFrame(framed);
}

// A book is kept only when something reads it. The silence limit is the one asked for; a report alone tells
// silences of a minute; events alone none.
TEST(CentreBook, NeededOnlyWhenAnOptionReadsItWithTheSilenceLimitAskedFor)
{
    struct Case
    {
        const char* name;
        CentreBook::Options options;
        bool needed;
        bool supervising;
        std::chrono::microseconds limit;
    };
    // clang-format off
    const Case cases[] = {
        {"nothing",                {},                                  false, false, 0us},
        {"a limit",                {.superviseS = 2},                   true,  true,  2s},
        {"its own limit, a report", {.superviseS = 2.5, .report = true}, true,  true,  2'500'000us},
        {"a report alone",         {.report = true},                    true,  true,  60s},
        {"events alone",           {.events = true},                    true,  false, 0us},
        {"metrics",                {.metrics = true},                   true,  false, 0us},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CentreBook::Needed(c.options), c.needed);
        if (c.needed) {
            const CentreBook book(c.options, OutputFormat::Text, START);
            EXPECT_EQ(book.Supervising(), c.supervising);
            EXPECT_EQ(book.Book().SilenceLimit(), c.limit);
        }
    }
}

// Missing and back lines in both formats, each counted under its own key.
TEST(CentreBook, MissingAndBackLinesCountedApart)
{
    struct Case
    {
        const char* name;
        OutputFormat format;
        std::vector<std::string> lines;
    };
    // clang-format off
    const Case cases[] = {
        {"text", OutputFormat::Text, {"missing 127.0.0.1:5000 0:1 (silent 2.500 s)", "missing 127.0.0.1:5000 0:2 (silent 2.500 s)", "back 127.0.0.1:5000 0:1 (silent 3.000 s)"}},
        {"json", OutputFormat::JsonLines, {R"({"type":"missing","peer":"127.0.0.1:5000","comm":0,"dev":1,"silent_s":2.5})",
                                           R"({"type":"missing","peer":"127.0.0.1:5000","comm":0,"dev":2,"silent_s":2.5})",
                                           R"({"type":"back","peer":"127.0.0.1:5000","comm":0,"dev":1,"silent_s":3})"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CentreBook book({.superviseS = 2}, c.format, START);
        std::string out;
        book.Hear(out, PANEL, Status(1, 0), START, WALL);
        book.Hear(out, PANEL, Status(2, 0), START, WALL);
        book.Check(out, START + 2500ms);
        book.Hear(out, PANEL, Status(1, 0), START + 3s, WALL + 3'000'000);
        EXPECT_EQ(Lines(out), c.lines);
        std::string longest;
        const auto fields = book.SummaryFields(START + 3s, longest);
        const auto value = [&](std::string_view key) {
            for (const RecordField& field : fields)
                if (field.key == key)
                    return std::get<std::uint64_t>(field.value);
            ADD_FAILURE() << key;
            return std::uint64_t{0};
        };
        EXPECT_EQ(value("reported_missing"), 2u);
        EXPECT_EQ(value("reported_back"), 1u);
        EXPECT_EQ(value("panels_missing"), 1u);
        EXPECT_EQ(value("panels_seen"), 2u);
    }
}

// A line per event the frames carried, only when asked, in the format asked for, numbered by the log.
TEST(CentreBook, EventLinesOnlyWithEvents)
{
    struct Case
    {
        const char* name;
        bool events;
        OutputFormat format;
        const char* shape; // in every line
    };
    // clang-format off
    const Case cases[] = {
        {"text",         true,  OutputFormat::Text,      " event 127.0.0.1:5000 comm 0 dev 1 "},
        {"json",         true,  OutputFormat::JsonLines, R"({"type":"event","ts":")"},
        {"not asked",    false, OutputFormat::Text,      ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CentreBook book({.superviseS = 0, .report = false, .events = c.events}, c.format, START);
        std::string out;
        book.Hear(out, PANEL, Status(1, 0x00), START, WALL);
        book.Hear(out, PANEL, Status(1, 0x11), START + 1s, WALL + 1'000'000);
        const auto events = book.Book().Totals().events;
        ASSERT_GT(events, 0u);
        const auto lines = out.empty() ? std::vector<std::string>() : Lines(out);
        EXPECT_EQ(lines.size(), c.events ? events : 0u);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_NE(lines[i].find(c.shape), std::string::npos) << lines[i];
            if (c.format == OutputFormat::JsonLines) {
                EXPECT_NE(lines[i].find(",\"seq\":" + std::to_string(i) + "}"), std::string::npos)
                    << lines[i];
            }
        }
    }
}

std::string FileText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The report file holds the table itself, replacing what was there; a path that cannot be written is a
// reason naming it, never a silent success.
TEST(CentreBook, TheReportFileHoldsTheTableOrAReason)
{
    const std::string dir = ::testing::TempDir();
    struct Case
    {
        const char* name;
        std::string path;
        std::string before; // already in the file; none when empty
        bool written;
    };
    const Case cases[] = {
        {"a new file", dir + "centre_book_new.jsonl", "", true},
        {"an old file replaced", dir + "centre_book_old.jsonl", std::string(4096, 'x') + "\n", true},
        {"no such folder", dir + "no-such-folder/report.jsonl", "", false},
        {"a folder, not a file", dir, "", false},
    };
    CentreBook book({.report = true}, OutputFormat::Text, START);
    std::string out;
    book.Hear(out, PANEL, Status(1, 0x01), START, WALL);
    book.Hear(out, PANEL, Status(2, 0), START, WALL);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.before.empty())
            std::ofstream(c.path, std::ios::binary) << c.before;
        const auto written = book.WriteTable(c.path, START + 1s);
        ASSERT_EQ(written.has_value(), c.written);
        if (c.written)
            EXPECT_EQ(FileText(c.path), book.Table(START + 1s));
        else
            EXPECT_EQ(written.error(), "cannot write " + c.path);
    }
}

// The coarse clock reads the steady clock's time, to within its few milliseconds of resolution.
TEST(CentreBook, CoarseClockKeepsTheSteadyClocksEpoch)
{
    const auto before = std::chrono::steady_clock::now();
    const SteadyTime coarse = CoarseNow();
    const auto after = std::chrono::steady_clock::now();
    EXPECT_GE(coarse, before - 50ms);
    EXPECT_LE(coarse, after + 50ms);
}

} // namespace
