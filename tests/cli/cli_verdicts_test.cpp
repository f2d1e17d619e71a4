#include "engine/host_center_engine.h"
#include "protocol/hex.h"
#include "tests/cli/cli_harness.h"
#include "tests/suite/junit_reader.h"
#include "tests/support/known_frames.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/recording_console.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <iterator>
#include <set>

using namespace veltrano;

namespace {

JunitSuite ReadJunitFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? ReadJunit(file.readAll()) : JunitSuite{};
}

using Set = std::set<std::string>;

Set operator+(Set a, const Set& b)
{
    a.insert(b.begin(), b.end());
    return a;
}

// Short enough for CI, long enough for a loaded machine's loopback.
const Args QUICK = {"--timeout", "300", "--load-rate", "500", "--load-seconds", "1"};

} // namespace

TEST(CliTestCentre, JudgesTheCompanionsCentreWithAndWithoutFaults)
{
    // The cases that need every frame answered; a centre that loses half its answers fails some by chance.
    const std::set<std::string> acks = {"ack-debug-frame", "ack-wrong-checksum",   "ack-short-frame",
                                        "ack-length-zero", "reply-to-each-sender", "duplicate-answered",
                                        "burst-in-order"};
    struct Case
    {
        const char* name;
        Args faults; // of the centre under test
        int exitCode;
        std::set<std::string> mustFail;
        std::set<std::string> mayFail; // and none other fails
        bool everyCaseFails;
    };
    const Case cases[] = {
        {"conforming", {}, 0, {}, {}, false},
        {"spoilt checksums", {"--bad-checksum", "100"}, 1, acks + Set{"ack-every-event", "load"}, {}, false},
        {"silent", {"--no-ack"}, 1, {}, {}, true},
        {"half dropped", {"--drop", "50", "--seed", "2"}, 1, {"ack-every-event", "load"}, acks, false},
    };
    for (const Case& c : cases) {
        CliProcess centre(Args{"centre", "--port", "0", "--bind", "127.0.0.1", "--duration", "30"} +
                          c.faults);
        const auto port = centre.ListeningPort();
        ASSERT_TRUE(port.has_value()) << c.name;
        QTemporaryDir dir;
        const QString junit = dir.filePath(QStringLiteral("centre.xml"));
        const CliResult result =
            RunCli(Args{"test", "centre", "--to", Loopback(*port), "--junit", junit.toStdString()} + QUICK);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << "\n" << result.err;
        const JunitSuite suite = ReadJunitFile(junit);
        ASSERT_TRUE(suite.wellFormed) << c.name;
        EXPECT_EQ(suite.attributes.at("tests"), "12") << c.name;
        const auto failed = CasesOf(suite, "failed");
        if (c.everyCaseFails) {
            EXPECT_EQ(failed.size(), 12U) << c.name;
            EXPECT_EQ(suite.cases.at("no-answer-empty").message,
                      "no acknowledgement from " + Loopback(*port));
        } else {
            std::set<std::string> chance;
            std::ranges::set_difference(failed, c.mustFail, std::inserter(chance, chance.end()));
            EXPECT_TRUE(std::ranges::includes(failed, c.mustFail)) << c.name;
            EXPECT_TRUE(std::ranges::includes(c.mayFail, chance)) << c.name << ": " << *chance.begin();
        }
        centre.Signal(SIGINT);
        centre.Finish();
    }
}

TEST(CliTestCentre, NothingListeningPassesNothing)
{
    const std::uint16_t port = FreeUdpPort();
    const CliResult result =
        RunCli({"test", "centre", "--to", Loopback(port), "--timeout", "200", "--jsonl"});
    EXPECT_EQ(result.exitCode, 1);
    ASSERT_FALSE(result.out.empty());
    for (const std::string& line : result.out) {
        EXPECT_EQ(line.find("\"result\":\"passed\""), std::string::npos) << line;
    }
}

TEST(CliTestCentre, JudgesTheWindowsEngine)
{
    RecordingConsole console;
    console.sourcePort = QStringLiteral("0");
    CHostCenterEngine engine{console};
    engine.OnStart();
    QTemporaryDir dir;
    const QString junit = dir.filePath(QStringLiteral("engine.xml"));
    // The harness runs this process's event loop only between its polls of the child, so the engine's round
    // trips here are the harness's, not its own: no load case.
    const CliResult result = RunCli(Args{"test", "centre", "--to", Loopback(engine.ListeningPort()),
                                         "--junit", junit.toStdString(), "--skip", "load"} +
                                    QUICK);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const JunitSuite suite = ReadJunitFile(junit);
    for (const std::string& id : CasesOf(suite, "failed"))
        ADD_FAILURE() << id << ": " << suite.cases.at(id).message;
    EXPECT_EQ(CasesOf(suite, "skipped"), std::set<std::string>{"load"});
    EXPECT_EQ(CasesOf(suite, "passed").size(), 11U);
}

TEST(CliTestPanel, JudgesRetriesOfTheCompanionsSend)
{
    struct Case
    {
        const char* name;
        const char* retries;
        int exitCode;
        const char* retriesOutcome;
    };
    const Case cases[] = {
        {"retries twice", "2", 0, "passed"},
        {"never retries", "0", 1, "failed"},
    };
    for (const Case& c : cases) {
        const std::uint16_t port = FreeUdpPort();
        QTemporaryDir dir;
        const QString junit = dir.filePath(QStringLiteral("panel.xml"));
        CliProcess panel({"test", "panel", "--port", std::to_string(port), "--bind", "127.0.0.1",
                          "--withhold", "1", "--retry-within", "100-1500", "--retries", "2", "--duration",
                          "2.5", "--junit", junit.toStdString()});
        ASSERT_TRUE(panel.ListeningPort().has_value()) << c.name;
        RunCli({"send", "--to", Loopback(port), "--comm", "0", "--dev", "1", "--zone", "1", "--expect-ack",
                "--timeout", "400", "--retries", c.retries, "zone-alarm"});
        const CliResult result = panel.Finish();
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << "\n" << result.err;
        const JunitSuite suite = ReadJunitFile(junit);
        EXPECT_EQ(suite.cases.at("retries").outcome, c.retriesOutcome) << c.name;
        EXPECT_EQ(suite.cases.at("well-formed").outcome, "passed") << c.name;
        EXPECT_EQ(suite.cases.at("heartbeat").outcome, "skipped") << c.name;
    }
}

TEST(CliTestPanel, NamesMalformedFramesAndImpossibleStatusSteps)
{
    const std::uint16_t port = FreeUdpPort();
    QTemporaryDir dir;
    const QString junit = dir.filePath(QStringLiteral("panel.xml"));
    CliProcess panel({"test", "panel", "--port", std::to_string(port), "--bind", "127.0.0.1", "--frames", "3",
                      "--junit", junit.toStdString()});
    ASSERT_TRUE(panel.ListeningPort().has_value());
    LoopbackPeer peer;
    // A good status, a wrong checksum, then zone 1 out of alarm and zones 2 and 3 in at once.
    for (const char* hex :
         {known::STATUS_HEX, "08 00 01 00 00 00 01 0B", "0C 00 01 00 00 00 02 06 11 00 00 26"})
        peer.SendTo(port, ParseHexBytes(hex).value());
    const CliResult result = panel.Finish();
    EXPECT_EQ(result.exitCode, 1);
    const JunitSuite suite = ReadJunitFile(junit);
    const JunitCase& wellFormed = suite.cases.at("well-formed");
    EXPECT_EQ(wellFormed.outcome, "failed");
    EXPECT_NE(wellFormed.message.find("08 00 01 00 00 00 01 0B): checksum 0x0A expected, 0x0B found"),
              std::string::npos)
        << wellFormed.message;
    EXPECT_EQ(suite.cases.at("status-consistent").outcome, "failed");
    EXPECT_EQ(suite.cases.at("retries").outcome, "skipped");
}

TEST(CliTestPanel, SilentPanelFailsEveryCaseItRuns)
{
    const CliResult result = RunCli({"test", "panel", "--port", std::to_string(FreeUdpPort()), "--bind",
                                     "127.0.0.1", "--duration", "0.3", "--heartbeat", "1", "--jsonl"});
    EXPECT_EQ(result.exitCode, 1);
    std::size_t failed = 0;
    for (const std::string& line : result.out)
        failed += line.find("\"message\":\"no frame received\"") != std::string::npos;
    EXPECT_EQ(failed, 3U); // retries is skipped without --withhold
}

TEST(CliTestPanel, HeartbeatFailsADeviceThatFallsSilentBeforeTheEnd)
{
    const std::uint16_t port = FreeUdpPort();
    QTemporaryDir dir;
    const QString junit = dir.filePath(QStringLiteral("panel.xml"));
    CliProcess panel({"test", "panel", "--port", std::to_string(port), "--bind", "127.0.0.1", "--heartbeat",
                      "0.2", "--duration", "1", "--junit", junit.toStdString()});
    ASSERT_TRUE(panel.ListeningPort().has_value());
    LoopbackPeer peer;
    ASSERT_TRUE(peer.SendTo(port, ParseHexBytes("08 00 01 00 00 00 01 0A").value()));
    const CliResult result = panel.Finish();
    EXPECT_EQ(result.exitCode, 1) << result.err;
    const JunitSuite suite = ReadJunitFile(junit);
    const JunitCase& heartbeat = suite.cases.at("heartbeat");
    EXPECT_EQ(heartbeat.outcome, "failed");
    EXPECT_NE(heartbeat.message.find("expected comm 0 dev 1 again within 0.2 s of +"), std::string::npos)
        << heartbeat.message;
    EXPECT_NE(heartbeat.message.find("got nothing until the end after "), std::string::npos)
        << heartbeat.message;
    EXPECT_EQ(suite.cases.at("well-formed").outcome, "passed");
}
