#include "cli/verdict.h"
#include "tests/suite/junit_reader.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace veltrano;

TEST(VerdictReport, ExitCodeCountsOnlyCasesThatRan)
{
    struct Row
    {
        const char* name;
        std::vector<Outcome> outcomes;
        int exitCode;
    };
    const Row rows[] = {
        {"all passed", {Outcome::Passed, Outcome::Passed}, 0},
        {"passed and skipped", {Outcome::Passed, Outcome::Skipped}, 0},
        {"one failed", {Outcome::Passed, Outcome::Failed}, 1},
        {"only skipped", {Outcome::Skipped}, 1},
        {"none", {}, 1},
    };
    for (const Row& row : rows) {
        VerdictReport report("s");
        for (Outcome outcome : row.outcomes)
            report.Add({"c" + std::to_string(report.Verdicts().size()), {}, outcome, {}, {}, 0});
        EXPECT_EQ(report.ExitCode(), row.exitCode) << row.name;
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
    const Verdict verdict{"burst-in-order", {}, Outcome::Failed, "expected \"3\"", {}, 0.5};
    std::string text;
    AppendVerdictLine(text, veltrano::OutputFormat::Text, verdict);
    EXPECT_EQ(text, "FAIL  burst-in-order  0.500 s  expected \"3\"\n");
    std::string json;
    AppendVerdictLine(json, veltrano::OutputFormat::JsonLines, verdict);
    EXPECT_EQ(json, "{\"type\":\"verdict\",\"case\":\"burst-in-order\",\"result\":\"failed\","
                    "\"message\":\"expected \\\"3\\\"\",\"time_s\":0.5}\n");
}
