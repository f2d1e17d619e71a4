#include "tests/cli/cli_harness.h"
#include "tests/support/loopback_peer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>


#include <csignal>

namespace {

using namespace std::chrono_literals;

const QString TARGET = QStringLiteral(VELTRANO_FUZZ_TARGET);

// One of the small centres or panels of fuzz_target.py, on 127.0.0.1, ended with the test (and by itself in
// 30 s). A panel sends to `port`, and is started when the test says.
class Target final
{
public:
    Target(std::uint16_t port, const std::string& fault, const QString& pidFile, bool panel = false)
        : m_port(port), m_pidFile(pidFile), m_panel(panel)
    {
        if (!panel)
            Start(fault);
    }
    ~Target()
    {
        if (const int pid = Pid().toInt(); pid > 0) // never 0: that names the test's own process group
            ::kill(pid, SIGKILL);
    }
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // (Re)starts it; the command returns once it listens.
    void Start(const std::string& fault) const
    {
        QProcess::execute(QStringLiteral("/bin/sh"),
                          {QStringLiteral("-c"), QString::fromStdString(Command(fault))});
    }

    // The shell command that starts (or restarts) the target.
    std::string Command(const std::string& fault) const
    {
        return "python3 " + TARGET.toStdString() + (m_panel ? " panel " : " ") + std::to_string(m_port) + " " +
               fault + " " + m_pidFile.toStdString();
    }

private:
    QByteArray Pid() const
    {
        QFile file(m_pidFile);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    std::uint16_t m_port;
    QString m_pidFile;
    bool m_panel;
};

QJsonObject FindingOf(const CliResult& result)
{
    for (const std::string& line : result.out) {
        const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (object.value(QStringLiteral("type")).toString() == QStringLiteral("finding"))
            return object;
    }
    return {};
}

struct FuzzRow
{
    const char* name;
    const char* fault;
    bool restart;
    int exit;
    const char* kind; // empty: no finding
};

// Fuzzes a small centre of fuzz_target.py; then the finding's scenario must fail against the faulty centre
// and pass against a mended one.
void FuzzAndReplay(const FuzzRow& row)
{
    SCOPED_TRACE(row.name);
    QTemporaryDir dir;
    const std::uint16_t port = FreeUdpPort();
    const std::string peer = "127.0.0.1:" + std::to_string(port);
    Target target(port, row.fault, dir.filePath(QStringLiteral("pid")));
    Args args{"fuzz", "centre", "--to", peer, "--seed", "3", "--rate", "3000", "--cases", "3000", "--jsonl"};
    args = args + Args{"--probe-every", "20", "--probe-timeout", "0.2", "--confirm", "2"};
    args = args + Args{"--findings", dir.filePath(QStringLiteral("f")).toStdString()};
    if (row.restart)
        args = args + Args{"--restart", target.Command(row.fault), "--restart-timeout", "5"};
    const CliResult fuzz = RunCli(args, 120s);
    ASSERT_EQ(fuzz.exitCode, row.exit) << fuzz.err;
    const QJsonObject finding = FindingOf(fuzz);
    EXPECT_EQ(finding.value(QStringLiteral("kind")).toString().toStdString(), row.kind);
    if (*row.kind == '\0')
        return;
    if (row.restart) {
        EXPECT_TRUE(finding.value(QStringLiteral("minimised")).toBool());
        EXPECT_EQ(finding.value(QStringLiteral("frames")).toArray().size(), 1);
    }
    const std::string scenario =
        finding.value(QStringLiteral("folder")).toString().toStdString() + "/scenario.yaml";
    const Args replay{"run", scenario, "--var", "peer=" + peer};
    target.Start(row.fault);
    EXPECT_EQ(RunCli(replay).exitCode, 1) << "the fault is there";
    target.Start("correct");
    EXPECT_EQ(RunCli(replay).exitCode, 0) << "mended";
}

// Fuzzes a small panel of fuzz_target.py; then the finding's scenario, run as a centre, must fail against the
// faulty panel and pass against a mended one.
void FuzzPanelAndReplay(const FuzzRow& row)
{
    SCOPED_TRACE(row.name);
    QTemporaryDir dir;
    const std::uint16_t port = FreeUdpPort();
    Target panel(port, row.fault, dir.filePath(QStringLiteral("pid")), true);
    Args args{"fuzz", "panel", "--port", std::to_string(port), "--seed", "3", "--only", "answer-checksum",
              "--silence", "0.4", "--confirm", "2", "--duration", "4", "--jsonl"};
    args = args + Args{"--findings", dir.filePath(QStringLiteral("f")).toStdString()};
    if (row.restart)
        args = args + Args{"--restart", panel.Command(row.fault), "--restart-timeout", "5"};
    CliProcess fuzzer(args);
    ASSERT_TRUE(fuzzer.ListeningPort());
    panel.Start(row.fault);
    const CliResult fuzz = fuzzer.Finish(60s);
    ASSERT_EQ(fuzz.exitCode, row.exit) << fuzz.err;
    const QJsonObject finding = FindingOf(fuzz);
    EXPECT_EQ(finding.value(QStringLiteral("kind")).toString().toStdString(), row.kind);
    if (*row.kind == '\0')
        return;
    EXPECT_EQ(finding.value(QStringLiteral("side")).toString(), QStringLiteral("panel"));
    if (row.restart) {
        EXPECT_TRUE(finding.value(QStringLiteral("minimised")).toBool());
    }
    const std::string scenario =
        finding.value(QStringLiteral("folder")).toString().toStdString() + "/scenario.yaml";
    for (const auto& [fault, exit] : {std::pair{row.fault, 1}, std::pair{"correct", 0}}) {
        CliProcess replay({"run", scenario, "--var", "port=" + std::to_string(FreeUdpPort())});
        const auto listening = replay.ListeningPort();
        ASSERT_TRUE(listening);
        Target mended(*listening, fault, dir.filePath(QStringLiteral("replay-pid")), true);
        mended.Start(fault);
        EXPECT_EQ(replay.Finish().exitCode, exit) << fault;
    }
}

} // namespace

TEST(FuzzPanel, FindsNothingInACorrectPanelAndACrashAHangAndABrokenRuleInFaultyOnes)
{
    for (const FuzzRow& row :
         {FuzzRow{"a correct panel", "correct", false, 0, ""}, FuzzRow{"a crash", "crash", false, 1, "crash"},
          FuzzRow{"a hang", "hang", false, 1, "hang"}, FuzzRow{"a broken rule", "rule", false, 1, "rule"},
          FuzzRow{"a crash minimised with restarts", "crash", true, 1, "crash"}})
        FuzzPanelAndReplay(row);
}

// A panel that quits whatever it was answered leaves a crash no answer class caused: the JUnit file still
// fails.
TEST(FuzzPanel, ACrashNoClassCausedStillFailsTheJunitFile)
{
    QTemporaryDir dir;
    const std::uint16_t port = FreeUdpPort();
    Target panel(port, "quit", dir.filePath(QStringLiteral("pid")), true);
    const QString junit = dir.filePath(QStringLiteral("fuzz.xml"));
    CliProcess fuzzer({"fuzz", "panel", "--port", std::to_string(port), "--seed", "1", "--only", "answer-none",
                       "--silence", "0.3", "--confirm", "0.5", "--duration", "5", "--junit", junit.toStdString(),
                       "--findings", dir.filePath(QStringLiteral("f")).toStdString()});
    ASSERT_TRUE(fuzzer.ListeningPort());
    panel.Start("quit");
    ASSERT_EQ(fuzzer.Finish(30s).exitCode, 1);
    QFile file(junit);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("<failure")) << "a finding the JUnit file does not show";
}

// Each a row: a table split in three, so that each part keeps within a test's time.
TEST(FuzzCentre, FindsNothingInACorrectOrALossyCentre)
{
    for (const FuzzRow& row : {FuzzRow{"a correct centre", "correct", false, 0, ""},
                               FuzzRow{"a lossy centre", "lossy", false, 0, ""}})
        FuzzAndReplay(row);
}

TEST(FuzzCentre, FindsACrashAHangAndABrokenRuleThatTheirScenariosShow)
{
    for (const FuzzRow& row :
         {FuzzRow{"a crash", "crash", false, 1, "crash"}, FuzzRow{"a hang", "hang", false, 1, "hang"},
          FuzzRow{"a broken rule", "rule", false, 1, "rule"}})
        FuzzAndReplay(row);
}

TEST(FuzzCentre, MinimisesACrashToItsDecisiveFrameWithRestarts)
{
    FuzzAndReplay({"a crash minimised with restarts", "crash", true, 1, "crash"});
}

TEST(FuzzCentre, RefusesAnUnknownClassByName)
{
    const CliResult result = RunCli({"fuzz", "centre", "--to", "127.0.0.1:9", "--only", "no-such-class"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("no-such-class"), std::string::npos) << result.err;
}
