#include "engine/host_center_engine.h"
#include "protocol/frame_decoder.h"
#include "suite/scenario.h"
#include "tests/cli/cli_harness.h"
#include "tests/suite/junit_reader.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/recording_console.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <optional>
#include <set>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;

const std::string EXAMPLES = VELTRANO_EXAMPLES_DIR;

std::string Example(const char* name)
{
    return EXAMPLES + "/" + name;
}

QByteArray ReadAll(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The ids of the example's steps of `kind`, or of every step without one, as the reader unrolls them.
std::set<std::string> StepIds(const std::string& path, std::optional<StepKind> kind = std::nullopt)
{
    const auto scenario = ParseScenario(ReadAll(path).toStdString(), path);
    std::set<std::string> ids;
    if (!scenario)
        return ids;
    for (const ScenarioStep& step : scenario->steps) {
        if (!kind || step.kind == *kind)
            ids.insert(step.id);
    }
    return ids;
}

constexpr const char* PANEL_EXAMPLES[] = {"panel-alarm-and-restore.yaml", "panel-retry.yaml"};

} // namespace

TEST(CliRun, PanelExamplesPassAgainstACentreAndFailTheirAcksAgainstASilentOne)
{
    struct Case
    {
        const char* name;
        Args centre; // the companion's centre with these options; empty: the window's engine
        int exitCode;
        bool acksFail; // every expect-ack step fails, every other step passes
    };
    const Case cases[] = {
        {"centre", {"centre", "--bind", "127.0.0.1"}, 0, false},
        {"silent centre", {"centre", "--bind", "127.0.0.1", "--no-ack"}, 1, true},
        {"window's engine", {}, 0, false},
    };
    for (const Case& c : cases) {
        RecordingConsole console;
        console.sourcePort = QStringLiteral("0");
        CHostCenterEngine engine{console};
        std::unique_ptr<CliProcess> centre;
        std::uint16_t port = 0;
        if (c.centre.empty()) {
            engine.OnStart();
            port = engine.ListeningPort();
        } else {
            centre = std::make_unique<CliProcess>(c.centre + Args{"--port", "0", "--duration", "60"});
            port = centre->ListeningPort().value_or(0);
        }
        ASSERT_NE(port, 0) << c.name;
        for (const char* example : PANEL_EXAMPLES) {
            QTemporaryDir dir;
            const std::string junit = dir.filePath(QStringLiteral("run.xml")).toStdString();
            const CliResult result =
                RunCli({"run", Example(example), "--var", "peer=" + Loopback(port), "--junit", junit});
            EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ", " << example << "\n" << result.err;
            const JunitSuite suite = ReadJunit(ReadAll(junit));
            ASSERT_TRUE(suite.wellFormed) << c.name << ", " << example;
            const auto steps = StepIds(Example(example));
            const auto acks = StepIds(Example(example), StepKind::ExpectAck);
            ASSERT_FALSE(acks.empty()) << example;
            std::set<std::string> judged;
            for (const auto& [id, verdict] : suite.cases)
                judged.insert(id);
            EXPECT_EQ(judged, steps) << c.name << ", " << example;
            EXPECT_EQ(CasesOf(suite, "failed"), c.acksFail ? acks : std::set<std::string>{})
                << c.name << ", " << example;
        }
        if (centre) {
            centre->Signal(SIGINT);
            centre->Finish();
        }
    }
}

TEST(CliRun, CentreExampleJudgesTheCompanionsSend)
{
    struct Case
    {
        const char* name;
        const char* retries; // of the panel
        int exitCode;
        std::set<std::string> failed;
        long answers; // acknowledgements the run sent
    };
    const Case cases[] = {
        // The copy after the withheld one answered twice, the restore once.
        {"retries", "2", 0, {}, 3},
        // The withheld alarm never comes again; the restore that does is still taken, and answered twice.
        {"never retries", "0", 1, {"alarm-again"}, 2},
    };
    const std::string example = Example("centre-expects-alarm.yaml");
    for (const Case& c : cases) {
        const std::uint16_t port = FreeUdpPort();
        QTemporaryDir dir;
        const std::string junit = dir.filePath(QStringLiteral("run.xml")).toStdString();
        CliProcess run(
            {"run", example, "--var", "port=" + std::to_string(port), "--junit", junit, "--jsonl"});
        ASSERT_EQ(run.ListeningPort(), port) << c.name;
        const CliResult panel = RunCli({"send", "--to", Loopback(port), "--comm", "0", "--dev", "1", "--zone",
                                        "1", "--expect-ack", "--timeout", "300", "--retries", c.retries,
                                        "zone-alarm", "zone-alarm-restore"});
        const CliResult result = run.Finish();
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << "\n" << result.err;
        const JunitSuite suite = ReadJunit(ReadAll(junit));
        EXPECT_EQ(suite.cases.size(), StepIds(example).size()) << c.name;
        EXPECT_EQ(CasesOf(suite, "failed"), c.failed) << c.name;
        const auto answers = std::count_if(result.out.begin(), result.out.end(), [](const std::string& line) {
            return line.find("\"type\":\"frame\"") != std::string::npos &&
                   line.find("\"dir\":\"out\"") != std::string::npos;
        });
        EXPECT_EQ(answers, c.answers) << c.name;
    }
}

// The centre role's answers that a panel's firmware must cope with: one held back, one spoilt.
TEST(CliRun, CentreAnswersLateAndWithABadChecksumAsTold)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("answers.yaml")).toStdString();
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("name: answers\nrole: centre\nvars: {port: \"0\"}\nport: ${port}\ntimeout: 5000\nsteps:\n"
               "  - answer: {delay: 300, id: late}\n"
               "  - expect-frame: {command: status, comm: 0, dev: 1, id: first}\n"
               "  - answer: {mode: bad-checksum, id: spoilt}\n"
               "  - expect-frame: {command: status, comm: 0, dev: 1, id: second}\n");
    file.close();
    const std::uint16_t port = FreeUdpPort();
    CliProcess run({"run", path, "--var", "port=" + std::to_string(port)});
    ASSERT_EQ(run.ListeningPort(), port);

    LoopbackPeer panel;
    const auto& status = known::STATUS;
    const auto sentAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(panel.SendTo(port, status));
    const auto late = panel.Receive(3000ms);
    ASSERT_TRUE(late);
    ASSERT_EQ(late->bytes.size(), ACK_FRAME_LENGTH);
    EXPECT_GE(std::chrono::steady_clock::now() - sentAt, 290ms);
    EXPECT_EQ(DecodeFrame(late->bytes).checksum, ChecksumState::Good);

    ASSERT_TRUE(panel.SendTo(port, status));
    const auto spoilt = panel.Receive(3000ms);
    ASSERT_TRUE(spoilt);
    ASSERT_EQ(spoilt->bytes.size(), ACK_FRAME_LENGTH);
    EXPECT_EQ(Hex(std::span(spoilt->bytes).first(7)), Hex(std::span(late->bytes).first(7)));
    EXPECT_EQ(DecodeFrame(spoilt->bytes).checksum, ChecksumState::Bad);
    EXPECT_EQ(run.Finish().exitCode, 0);
}

// A signal ends the run with its own status, which the summary gives too, and the JUnit file still comes.
TEST(CliRun, SignalledRunSummarisesTheStatusItExitsWith)
{
    struct Case
    {
        const char* name;
        int signal;
        int exitCode;
    };
    const Case cases[] = {
        {"SIGINT", SIGINT, 130},
        {"SIGTERM", SIGTERM, 143},
    };
    for (const Case& c : cases) {
        const std::uint16_t port = FreeUdpPort();
        QTemporaryDir dir;
        const std::string junit = dir.filePath(QStringLiteral("run.xml")).toStdString();
        CliProcess run({"run", Example("centre-expects-alarm.yaml"), "--var", "port=" + std::to_string(port),
                        "--junit", junit});
        ASSERT_EQ(run.ListeningPort(), port) << c.name;
        run.Signal(c.signal);
        const CliResult result = run.Finish();
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << "\n" << result.err;
        EXPECT_EQ(result.Summary()["exit"], std::to_string(c.exitCode)) << c.name;
        EXPECT_TRUE(ReadJunit(ReadAll(junit)).wellFormed) << c.name;
    }
}
