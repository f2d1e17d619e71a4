#include "tests/cli/cli_harness.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"
#include "tests/support/loopback_peer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

using namespace veltrano;

namespace {

QJsonObject Json(const std::string& line)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
}

QString Q(const char* text)
{
    return QString::fromUtf8(text);
}

// Lines of a file the centre writes its output to, as far as it got.
std::vector<std::string> FileLines(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return SplitLines(file.readAll());
}

int CountType(const std::string& path, const std::string& type)
{
    int n = 0;
    for (const auto& line : FileLines(path))
        n += line.find("\"type\":\"" + type + "\"") != std::string::npos ? 1 : 0;
    return n;
}

// A panel's frames as the centre hears them, each with the events it carries against the one before.
const struct
{
    const char* frame;
    const char* text; // the event lines after their time and peer; empty: none
} FRAMES[] = {
    {"0C 00 01 00 00 00 02 04 11 00 00 24", "comm 0 dev 1 zone-alarm zone 3 (3 防区报警)"},
    {"0C 00 01 00 00 00 02 04 11 FF 00 23", "comm 0 dev 1 device-disarm (6 设备撤防)"},
    {"08 00 01 00 00 00 01 0A", "comm 0 dev 1 online (0 设备在线命令)"},
    {"0C 00 01 00 00 00 02 00 00 00 00 00", ""}, // wrong checksum: no event
    {known::STATUS_ACK_HEX, ""},                 // an acknowledgement: no event
    {"0C 00 01 00 00 00 02 05 15 FF 01 29",
     "comm 0 dev 1 zone-alarm zone 1 (3 防区报警)|comm 0 dev 1 tamper (11 被撬)|"
     "comm 0 dev 1 status-bits spare 0x01 (未知状态位)"},
};

std::vector<std::string> RunCentreWithEvents(const Args& extra, std::uint16_t& peerPort)
{
    CliProcess centre(Args{"centre", "--bind", "127.0.0.1", "--port", "0", "--events", "--count",
                           std::to_string(std::size(FRAMES))} +
                      extra);
    const auto port = centre.ListeningPort();
    EXPECT_TRUE(port);
    LoopbackPeer peer;
    peerPort = peer.Port();
    for (const auto& f : FRAMES)
        peer.SendTo(port.value_or(0), Bytes(f.frame));
    const CliResult result = centre.Finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
}

// Each frame's line, then a line per event it carries, in the order the status rules give them.
TEST(CliCentreEvents, TextLinesFollowTheirFrame)
{
    std::uint16_t peerPort = 0;
    const auto lines = RunCentreWithEvents({}, peerPort);
    const std::string peer = "127.0.0.1:" + std::to_string(peerPort);
    std::string expected, actual;
    for (const auto& f : FRAMES) {
        expected += "in|";
        std::string_view text = f.text;
        while (!text.empty()) {
            const auto bar = text.find('|');
            expected += "event " + peer + " " + std::string(text.substr(0, bar)) + "|";
            text = bar == std::string_view::npos ? "" : text.substr(bar + 1);
        }
    }
    for (const auto& line : lines) {
        const auto space = line.find(' ');
        if (line.rfind("summary:", 0) == 0 || space == std::string::npos)
            continue;
        const std::string rest = line.substr(space + 1);
        if (rest.rfind("out ", 0) == 0) // the acknowledgements, sent after the batch
            continue;
        actual += rest.rfind("in ", 0) == 0 ? std::string("in|") : rest + "|";
    }
    EXPECT_EQ(actual, expected);
}

TEST(CliCentreEvents, JsonLinesCarryTheCataloguesNamesAndTheirFramesTime)
{
    std::uint16_t peerPort = 0;
    const auto lines = RunCentreWithEvents({"--jsonl"}, peerPort);
    const struct
    {
        QString key;
        int index; // -1: null
        QString name;
        int zone; // 0: absent
    } expected[] = {
        {Q("zone-alarm"), 3, Q("防区报警"), 3}, {Q("device-disarm"), 6, Q("设备撤防"), 0},
        {Q("online"), 0, Q("设备在线命令"), 0}, {Q("zone-alarm"), 3, Q("防区报警"), 1},
        {Q("tamper"), 11, Q("被撬"), 0},        {Q("status-bits"), -1, Q("未知状态位"), 0},
    };
    std::size_t n = 0;
    QString frameTs;
    for (const auto& line : lines) {
        const QJsonObject object = Json(line);
        if (object[Q("type")].toString() == Q("frame")) {
            frameTs = object[Q("ts")].toString();
            continue;
        }
        if (object[Q("type")].toString() != Q("event"))
            continue;
        ASSERT_LT(n, std::size(expected)) << line;
        const auto& e = expected[n++];
        SCOPED_TRACE(line);
        EXPECT_EQ(object[Q("ts")].toString(), frameTs);
        EXPECT_EQ(object[Q("peer")].toString().toStdString(), "127.0.0.1:" + std::to_string(peerPort));
        EXPECT_EQ(object[Q("comm")].toInt(-1), 0);
        EXPECT_EQ(object[Q("dev")].toInt(-1), 1);
        EXPECT_EQ(object[Q("key")].toString(), e.key);
        EXPECT_EQ(object[Q("name")].toString(), e.name);
        EXPECT_EQ(object[Q("index")].isNull() ? -1 : object[Q("index")].toInt(-2), e.index);
        EXPECT_EQ(object.contains(Q("zone")), e.zone != 0);
        EXPECT_EQ(object[Q("zone")].toInt(0), e.zone);
    }
    EXPECT_EQ(n, std::size(expected));
    const QJsonObject summary = Json(lines.back());
    EXPECT_EQ(summary[Q("events")].toInt(), 6);
    EXPECT_EQ(summary[Q("panels_in_alarm")].toInt(), 1);
}

// Two panels go quiet, one comes back: the counts differ, and the report holds each panel's decoded status.
TEST(CliCentreEvents, SupervisionCountsMissingAndBackApartAndReportsTheBook)
{
    QTemporaryDir dir;
    const std::string output = dir.filePath(QStringLiteral("centre.jsonl")).toStdString();
    const std::string report = dir.filePath(QStringLiteral("report.jsonl")).toStdString();
    CliProcess centre({"centre", "--bind", "127.0.0.1", "--port", "0", "--supervise", "1",
                       "--supervise-report", report, "--jsonl"},
                      output);
    const auto port = centre.ListeningPort();
    ASSERT_TRUE(port);
    LoopbackPeer peer;
    const auto& alarm = known::STATUS;
    peer.SendTo(*port, alarm);
    peer.SendTo(*port, Bytes("08 00 02 00 00 00 01 0B"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return CountType(output, "missing") == 2; }, 5000));
    peer.SendTo(*port, alarm);
    EXPECT_TRUE(QTest::qWaitFor([&] { return CountType(output, "back") == 1; }, 5000));
    centre.Signal(SIGINT);
    const CliResult result = centre.Finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;

    const QJsonObject summary = Json(FileLines(output).back());
    EXPECT_EQ(summary[Q("reported_missing")].toInt(), 2);
    EXPECT_EQ(summary[Q("reported_back")].toInt(), 1);
    EXPECT_EQ(summary[Q("panels_missing")].toInt(), 1);
    EXPECT_EQ(summary[Q("panels_in_alarm")].toInt(), 1);

    const auto panels = FileLines(report);
    ASSERT_EQ(panels.size(), 2u);
    const QJsonObject first = Json(panels[0]);
    EXPECT_EQ(first[Q("dev")].toInt(), 1);
    EXPECT_FALSE(first[Q("missing")].toBool());
    EXPECT_EQ(first[Q("frames")].toInt(), 2);
    EXPECT_EQ(first[Q("status")].toString(), Q("01 11 00 00"));
    EXPECT_EQ(first[Q("alarm_zones")].toArray(), QJsonArray({1}));
    EXPECT_EQ(first[Q("flags")].toArray(), QJsonArray({Q("disarmed"), Q("mains_absent")}));
    EXPECT_EQ(first[Q("flags_zh")].toString(), Q("设备撤防、无ac"));
    const QJsonObject second = Json(panels[1]);
    EXPECT_EQ(second[Q("dev")].toInt(), 2);
    EXPECT_TRUE(second[Q("missing")].toBool());
    EXPECT_TRUE(second[Q("status")].isNull()) << "no status frame heard";
    EXPECT_EQ(second[Q("alarm_zones")].toArray(), QJsonArray());
    EXPECT_TRUE(second[Q("last_heard")].toString().endsWith(QLatin1Char('Z')));
}

// A report that cannot be written is a file error of the run, named on stderr, like a capture's.
TEST(CliCentreEvents, AReportThatCannotBeWrittenIsExitThree)
{
    struct Case
    {
        const char* name;
        const char* folder; // of the report, under a temporary folder
        int exitCode;
    };
    // clang-format off
    const Case cases[] = {
        {"written",           "",            0},
        {"folder is missing", "missing/",    3},
    };
    // clang-format on
    for (const Case& c : cases) {
        QTemporaryDir dir;
        const std::string report =
            dir.filePath(QString::fromUtf8(c.folder) + Q("report.jsonl")).toStdString();
        CliProcess centre({"centre", "--bind", "127.0.0.1", "--port", "0", "--supervise-report", report});
        const auto port = centre.ListeningPort();
        ASSERT_TRUE(port) << c.name;
        LoopbackPeer peer;
        peer.SendTo(*port, Bytes("08 00 02 00 00 00 01 0B"));
        ASSERT_TRUE(peer.Receive(std::chrono::seconds(5)).has_value()) << c.name << ": answered, so heard";
        centre.Signal(SIGINT);
        const CliResult result = centre.Finish();
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.err;
        EXPECT_EQ(result.err.find("cannot write " + report) != std::string::npos, c.exitCode != 0) << c.name;
        EXPECT_EQ(FileLines(report).size(), c.exitCode == 0 ? 1u : 0u) << c.name;
        EXPECT_EQ(result.Summary()["received"], "1") << c.name << ": the summary still written";
    }
}

} // namespace
