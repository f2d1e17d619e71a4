#include "tests/suite/junit_reader.h"
#include "verdict/junit.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <variant>
#include <vector>

using namespace veltrano;

TEST(VerdictTally, KeepsMessagesToOneLineAndTimesToTheMillisecond)
{
    struct Row
    {
        const char* name;
        std::string message;
        double seconds;
        std::string keptMessage;
        double keptSeconds;
    };
    const Row rows[] = {
        {"plain", "3 answered", 0.25, "3 answered", 0.25},
        {"newline and tab", "line 1\nline 2\tend", 0, "line 1 line 2 end", 0},
        {"delete and escape", std::string("a\x7F\x1B") + "b", 0, "a  b", 0},
        {"beyond ASCII kept", "\xE5\x88\x86", 0, "\xE5\x88\x86", 0},
        {"rounded down", {}, 0.0004, {}, 0},
        {"rounded up", {}, 1.2345, {}, 1.235},
        {"a clock that went back", {}, -0.5, {}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        VerdictTally tally("s");
        const Verdict& kept = tally.Add({"c", {}, Outcome::Passed, row.message, {}, row.seconds});
        EXPECT_EQ(kept.message, row.keptMessage);
        EXPECT_DOUBLE_EQ(kept.seconds, row.keptSeconds);
    }
}

// The tally's exit code counts only cases that ran; the summary gives the run's own exit status.
TEST(VerdictTally, SummaryCountsEachOutcomeAndGivesTheRunsExitStatus)
{
    struct Row
    {
        const char* name;
        std::vector<std::pair<Outcome, double>> verdicts;
        int tallyExit;
        int runExit; // what the run exits with
        std::uint64_t tests, passed, failed, skipped;
        double seconds;
    };
    // clang-format off
    const Row rows[] = {
        {"none", {}, 1, 1, 0, 0, 0, 0, 0},
        {"passed and skipped", {{Outcome::Passed, 0.1}, {Outcome::Skipped, 0}}, 0, 0, 2, 1, 0, 1, 0.1},
        {"only skipped", {{Outcome::Skipped, 0}}, 1, 1, 1, 0, 0, 1, 0},
        {"a failure", {{Outcome::Passed, 0.001}, {Outcome::Failed, 0.0024}}, 1, 1, 2, 1, 1, 0, 0.003},
        {"summed once rounded", {{Outcome::Passed, 0.0006}, {Outcome::Passed, 0.0006}}, 0, 0, 2, 2, 0, 0, 0.002},
        {"interrupted after a pass: the run's status", {{Outcome::Passed, 0.1}}, 0, 130, 1, 1, 0, 0, 0.1},
        {"a JUnit file not written", {{Outcome::Passed, 0.1}}, 0, 3, 1, 1, 0, 0, 0.1},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        VerdictTally tally("s");
        for (const auto& [outcome, seconds] : row.verdicts)
            tally.Add({"c" + std::to_string(tally.Verdicts().size()), {}, outcome, {}, {}, seconds});
        EXPECT_EQ(tally.ExitCode(), row.tallyExit);
        const auto fields = VerdictSummary(tally, row.runExit);
        std::map<std::string, std::variant<std::uint64_t, std::int64_t, double, std::string_view, bool>>
            byKey;
        for (const RecordField& field : fields)
            byKey[std::string(field.key)] = field.value;
        EXPECT_EQ(fields.size(), 6U);
        EXPECT_EQ(std::get<std::uint64_t>(byKey["tests"]), row.tests);
        EXPECT_EQ(std::get<std::uint64_t>(byKey["passed"]), row.passed);
        EXPECT_EQ(std::get<std::uint64_t>(byKey["failed"]), row.failed);
        EXPECT_EQ(std::get<std::uint64_t>(byKey["skipped"]), row.skipped);
        EXPECT_DOUBLE_EQ(std::get<double>(byKey["time_s"]), row.seconds);
        EXPECT_EQ(std::get<std::int64_t>(byKey["exit"]), row.runExit);
    }
}

TEST(VerdictReport, JunitReadsBackAsCiSystemsReadIt)
{
    VerdictReport report("centre 127.0.0.1:8015");
    report.Add({"ack-every-event", {}, Outcome::Passed, "23 events acknowledged", {}, 0.25});
    report.Add({"ack-short-frame", "acks", Outcome::Failed,
                "expected 08 00 01 00 00 00 80 89 within 1000 ms, got nothing\n<&\"\x01>",
                "line 1\nline 2 <&>", 1.0});
    report.Add({"load", {}, Outcome::Skipped, "not chosen", {}, 0});

    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("junit.xml")).toStdString();
    ASSERT_TRUE(report.WriteJunit(path).has_value());
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const JunitSuite suite = ReadJunit(file.readAll());

    ASSERT_TRUE(suite.wellFormed);
    EXPECT_EQ(suite.attributes.at("name"), "centre 127.0.0.1:8015");
    EXPECT_EQ(suite.attributes.at("tests"), "3");
    EXPECT_EQ(suite.attributes.at("failures"), "1");
    EXPECT_EQ(suite.attributes.at("skipped"), "1");
    EXPECT_EQ(suite.attributes.at("time"), "1.250");
    ASSERT_EQ(suite.cases.size(), 3U);
    EXPECT_EQ(suite.cases.at("ack-every-event").outcome, "passed");
    EXPECT_EQ(suite.cases.at("ack-every-event").classname, "centre 127.0.0.1:8015");
    const JunitCase& failed = suite.cases.at("ack-short-frame");
    EXPECT_EQ(failed.outcome, "failed");
    EXPECT_EQ(failed.classname, "acks");
    EXPECT_EQ(failed.message, "expected 08 00 01 00 00 00 80 89 within 1000 ms, got nothing <&\" >");
    EXPECT_EQ(failed.body, "line 1\nline 2 <&>");
    EXPECT_EQ(suite.cases.at("load").outcome, "skipped");
}

TEST(VerdictReport, UnwritableJunitIsAReasonAndLeavesNothing)
{
    VerdictReport report("s");
    report.Add({"a", {}, Outcome::Passed, {}, {}, 0});
    const auto written = report.WriteJunit("/nonexistent-dir/junit.xml");
    ASSERT_FALSE(written.has_value());
    EXPECT_NE(written.error().find("/nonexistent-dir/junit.xml"), std::string::npos);
}

TEST(VerdictLine, TextAndJson)
{
    struct Row
    {
        const char* name;
        Verdict verdict;
        std::string text;
        std::string json;
    };
    // clang-format off
    const Row rows[] = {
        {"failed, quoted", {"burst-in-order", {}, Outcome::Failed, "expected \"3\"", {}, 0.5}, "FAIL  burst-in-order  0.500 s  expected \"3\"\n",
         R"({"type":"verdict","case":"burst-in-order","result":"failed","message":"expected \"3\"","time_s":0.5})" "\n"},
        {"passed without a message: no trailing spaces", {"ack-every-event", {}, Outcome::Passed, {}, {}, 0.012}, "PASS  ack-every-event  0.012 s\n",
         R"({"type":"verdict","case":"ack-every-event","result":"passed","message":"","time_s":0.012})" "\n"},
        {"skipped", {"load", {}, Outcome::Skipped, "not chosen", {}, 0}, "SKIP  load  0.000 s  not chosen\n",
         R"({"type":"verdict","case":"load","result":"skipped","message":"not chosen","time_s":0})" "\n"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string text;
        AppendVerdictLine(text, OutputFormat::Text, row.verdict);
        EXPECT_EQ(text, row.text);
        std::string json;
        AppendVerdictLine(json, OutputFormat::JsonLines, row.verdict);
        EXPECT_EQ(json, row.json);
    }
}
