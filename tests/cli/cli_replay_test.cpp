#include "protocol/acknowledgement.h"
#include "sim/sweep_walk.h"
#include "tests/cli/cli_harness.h"
#include "tests/support/capture_files.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <set>

using namespace veltrano;

namespace {

// Captured addresses are never sent to: the replay only reads them.
const Endpoint FIELD_CENTRE{Ipv4(203, 0, 113, 1), 7015};

Endpoint Panel(int i)
{
    return {Ipv4(198, 51, 100, static_cast<std::uint8_t>(i + 1)), static_cast<std::uint16_t>(40000 + i)};
}

std::vector<std::uint8_t> AckOf(std::span<const std::uint8_t> frame)
{
    const AckFrame ack = std::get<AckFrame>(AcknowledgementFor(frame));
    return {ack.begin(), ack.end()};
}

// `frames` frames of each panel `gapUs` apart, each answered in the capture.
std::vector<TestRecord> Exchanges(TestLink link, int panels, int frames, std::int64_t gapUs)
{
    std::vector<TestRecord> records;
    SweepWalk walk(1);
    std::int64_t timeUs = 1'700'000'000'000'000;
    for (int n = 0; n < frames; ++n) {
        for (int p = 0; p < panels; ++p) {
            const auto frame = walk.Next();
            records.push_back({timeUs, Framed(link, Ipv4Udp(Panel(p), FIELD_CENTRE, frame))});
            records.push_back({timeUs + 100, Framed(link, Ipv4Udp(FIELD_CENTRE, Panel(p), AckOf(frame)))});
        }
        timeUs += gapUs;
    }
    return records;
}

class CliReplay : public ::testing::Test
{
protected:
    std::string Path(const char* name) const { return dir.filePath(QString::fromLatin1(name)).toStdString(); }
    std::string Write(const char* name, const std::string& bytes) const
    {
        EXPECT_TRUE(WriteBytes(Path(name), bytes));
        return Path(name);
    }
    // The replay against a centre started with `centre`; the centre's own result too.
    std::pair<CliResult, CliResult> Replay(const std::string& file, const Args& centreArgs,
                                           const Args& replayArgs)
    {
        CliProcess centre(Args{"centre", "--bind", "127.0.0.1", "--port", "0", "--seed", "1", "--jsonl",
                               "--duration", "8"} +
                          centreArgs);
        const auto port = centre.ListeningPort();
        EXPECT_TRUE(port.has_value());
        CliResult replay =
            RunCli(Args{"replay", file, "--to", "127.0.0.1:" + std::to_string(port.value_or(1)), "--jsonl"} +
                   replayArgs);
        centre.Signal(SIGINT);
        return {replay, centre.Finish()};
    }

    QTemporaryDir dir;
};

QJsonObject LastObject(const CliResult& result)
{
    return result.out.empty()
               ? QJsonObject()
               : QJsonDocument::fromJson(QByteArray::fromStdString(result.out.back())).object();
}

int Field(const QJsonObject& object, const char* key)
{
    return object.value(QString::fromLatin1(key)).toInt(-1);
}

TEST_F(CliReplay, EveryLinkTypeIsAnsweredAsCaptured)
{
    struct Case
    {
        const char* name;
        TestLink link;
    };
    const Case cases[] = {
        {"raw", TestLink::Raw},
        {"ethernet", TestLink::Ethernet},
        {"802.1Q", TestLink::Vlan},
        {"QinQ", TestLink::QinQ},
        {"linux cooked", TestLink::Sll},
        {"linux cooked v2", TestLink::Sll2},
        {"bsd loopback", TestLink::NullLittle},
        {"loopback", TestLink::LoopBig},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = Write("link.pcap", PcapFile(LinkTypeOf(c.link), Exchanges(c.link, 2, 3, 1000)));
        const auto [replay, centre] = Replay(file, {}, {"--rate", "max"});
        EXPECT_EQ(replay.exitCode, 0) << replay.err;
        const QJsonObject summary = LastObject(replay);
        EXPECT_EQ(Field(summary, "same"), 6);
        EXPECT_EQ(Field(summary, "skipped"), 0);
    }
}

TEST_F(CliReplay, PcapngFromEditcap)
{
    if (QProcess::execute(QStringLiteral("editcap"), {QStringLiteral("-h")}) < 0)
        GTEST_SKIP() << "editcap is not installed";
    const auto pcap = Write("classic.pcap", PcapFile(1, Exchanges(TestLink::Ethernet, 1, 4, 1000)));
    const auto pcapng = Path("converted.pcapng");
    ASSERT_EQ(QProcess::execute(QStringLiteral("editcap"),
                                {QStringLiteral("-F"), QStringLiteral("pcapng"), QString::fromStdString(pcap),
                                 QString::fromStdString(pcapng)}),
              0);
    const auto [replay, centre] = Replay(pcapng, {}, {"--rate", "max"});
    EXPECT_EQ(replay.exitCode, 0) << replay.err;
    EXPECT_EQ(Field(LastObject(replay), "same"), 4);
}

TEST_F(CliReplay, FaultsOfTheCentreAreJudged)
{
    struct Case
    {
        const char* name;
        Args centre;
        int exit;
        const char* counted;
    };
    const Case cases[] = {
        {"bad checksums", {"--bad-checksum", "100"}, 1, "rule_broken"},
        {"no answers", {"--no-ack"}, 1, "missing"},
        {"duplicates do not count twice", {"--dup", "100"}, 0, "same"},
    };
    const auto file = Write("faults.pcap", PcapFile(101, Exchanges(TestLink::Raw, 1, 5, 1000)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [replay, centre] = Replay(file, c.centre, {"--rate", "max", "--timeout", "200"});
        EXPECT_EQ(replay.exitCode, c.exit) << replay.err;
        EXPECT_EQ(Field(LastObject(replay), c.counted), 5);
    }
}

TEST_F(CliReplay, JunitNamesTheMissingFramesOfEachPanel)
{
    const auto file = Write("drop.pcap", PcapFile(101, Exchanges(TestLink::Raw, 2, 10, 1000)));
    const auto junit = Path("replay.xml");
    const auto [replay, centre] =
        Replay(file, {"--drop", "50"}, {"--rate", "max", "--timeout", "200", "--junit", junit});
    EXPECT_EQ(replay.exitCode, 1) << replay.err;
    const int missing = Field(LastObject(replay), "missing");
    EXPECT_GT(missing, 0);

    // The frame numbers the JSON lines judged missing are the ones JUnit lists.
    std::set<std::string> missingFrames;
    for (const std::string& line : replay.out) {
        const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (object.value(QStringLiteral("verdict")).toString() == QStringLiteral("missing"))
            missingFrames.insert("frame " +
                                 std::to_string(object.value(QStringLiteral("capture_frame")).toInt()) + ":");
    }
    EXPECT_EQ(static_cast<int>(missingFrames.size()), missing);
    QFile file_(QString::fromStdString(junit));
    ASSERT_TRUE(file_.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file_);
    int cases = 0;
    std::string failures;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QStringLiteral("testcase"))
            ++cases;
        if (xml.isStartElement() && xml.name() == QStringLiteral("failure"))
            failures += xml.readElementText().toStdString();
    }
    EXPECT_EQ(cases, 2);
    for (const std::string& frame : missingFrames)
        EXPECT_NE(failures.find(frame), std::string::npos) << frame;
}

TEST_F(CliReplay, NoiseIsSkippedByReasonAndACutRecordIsReported)
{
    SweepWalk walk(1);
    const auto frame = walk.Next();
    const std::string udp = Ipv4Udp(Panel(0), FIELD_CENTRE, frame);
    std::vector<TestRecord> records{
        {1, Framed(TestLink::Ethernet, udp)},
        {2, Framed(TestLink::Ethernet, WithProtocol(udp, 6))},
        {3, Framed(TestLink::Ethernet, WithProtocol(udp, 1))},
        {4, Framed(TestLink::Ethernet, std::string(28, '\x01'), ETHERTYPE_ARP)},
        {5, Framed(TestLink::Ethernet, Ipv6Udp(), ETHERTYPE_IP6)},
        {6, Framed(TestLink::Ethernet, AsFragment(udp))},
        {7, Framed(TestLink::Ethernet, udp), 4},
        {8, Framed(TestLink::Ethernet, udp)},
    };
    const std::string whole = PcapFile(1, records);
    const auto file = Write("noise.pcap", whole.substr(0, whole.size() - 6));
    const auto [replay, centre] = Replay(file, {}, {"--rate", "max"});
    EXPECT_EQ(replay.exitCode, 1);
    EXPECT_NE(replay.err.find("is cut after record 7"), std::string::npos) << replay.err;
    const QJsonObject summary = LastObject(replay);
    EXPECT_EQ(Field(summary, "no_captured_answer"), 1);
    const QJsonObject reasons = summary.value(QStringLiteral("skipped_by_reason")).toObject();
    for (const char* reason : {"not_udp", "not_udp", "not_ipv4", "ipv6", "fragment", "truncated"})
        EXPECT_GE(Field(reasons, reason), 1) << reason;
    EXPECT_EQ(Field(summary, "skipped"), 6);
}

TEST_F(CliReplay, CapturedGapsScaleWithTheSpeed)
{
    // Three frames half a second apart: a second from the first to the last as captured.
    const auto file = Write("gaps.pcap", PcapFile(101, Exchanges(TestLink::Raw, 1, 3, 500'000)));
    struct Case
    {
        const char* speed;
        qint64 atLeastMs;
        qint64 atMostMs;
    };
    // Judged by the send times on the lines, so that a slow start of the process does not count. Each frame
    // is due at its captured time from the start, so a first frame held back a little (its socket opens
    // with it) shortens the span by as much; a busy machine may hold back the last.
    for (const Case c : {Case{.speed = "1", .atLeastMs = 950, .atMostMs = 1400},
                         Case{.speed = "10", .atLeastMs = 75, .atMostMs = 500}}) {
        SCOPED_TRACE(c.speed);
        CliProcess centre(Args{"centre", "--bind", "127.0.0.1", "--port", "0", "--duration", "8"});
        const auto port = centre.ListeningPort();
        ASSERT_TRUE(port.has_value());
        const CliResult replay = RunCli(
            {"replay", file, "--to", "127.0.0.1:" + std::to_string(*port), "--speed", c.speed, "--jsonl"});
        EXPECT_EQ(replay.exitCode, 0) << replay.err;
        std::vector<QDateTime> sent;
        for (const std::string& line : replay.out) {
            const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            if (object.value(QStringLiteral("dir")).toString() == QStringLiteral("out"))
                sent.push_back(
                    QDateTime::fromString(object.value(QStringLiteral("ts")).toString(), Qt::ISODateWithMs));
        }
        ASSERT_EQ(sent.size(), 3U);
        const qint64 tookMs = sent.front().msecsTo(sent.back());
        EXPECT_GE(tookMs, c.atLeastMs);
        EXPECT_LE(tookMs, c.atMostMs);
        centre.Signal(SIGINT);
        centre.Finish();
    }
}

TEST_F(CliReplay, FivePanelsReachTheCentreAsFivePeers)
{
    const auto file = Write("panels.pcap", PcapFile(101, Exchanges(TestLink::Raw, 5, 2, 1000)));
    const auto [replay, centre] = Replay(file, {}, {"--rate", "max"});
    EXPECT_EQ(replay.exitCode, 0) << replay.err;
    std::set<std::string> peers;
    for (const std::string& line : centre.out) {
        const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (object.value(QStringLiteral("type")).toString() == QStringLiteral("frame") &&
            object.value(QStringLiteral("dir")).toString() == QStringLiteral("in"))
            peers.insert(object.value(QStringLiteral("peer")).toString().toStdString());
    }
    EXPECT_EQ(peers.size(), 5U);
    for (const std::string& peer : peers)
        EXPECT_EQ(peer.rfind("127.0.0.1:", 0), 0U) << peer;
}

} // namespace
