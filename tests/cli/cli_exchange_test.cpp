#include "engine/host_center_engine.h"
#include "protocol/acknowledgement.h"
#include "protocol/frame.h"
#include "sim/sweep_walk.h"
#include "tests/cli/cli_harness.h"
#include "tests/support/known_frames.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/pcap_reader.h"
#include "tests/support/recording_console.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <set>

using namespace veltrano;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Fields = std::map<std::string, std::string>;

// The window's engine, started on a port of the system's choosing.
struct Engine
{
    Engine()
    {
        console.sourcePort = QStringLiteral("0");
        engine.OnStart();
    }
    std::vector<std::string> Received() const { return console.Texts(LogList::Received); }

    RecordingConsole console;
    CHostCenterEngine engine{console};
};

void ExpectFields(const Fields& actual, const Fields& expected)
{
    for (const auto& [key, value] : expected) {
        const auto found = actual.find(key);
        ASSERT_NE(found, actual.end()) << key;
        EXPECT_EQ(found->second, value) << key;
    }
}

TEST(CliExchange, SendAndHexReachTheWindowsCentreAndTakeItsAcknowledgements)
{
    struct Case
    {
        const char* name;
        Args arguments;                 // before --to
        std::vector<std::string> shown; // in the engine's received list
    };
    // clang-format off
    const Case cases[] = {
        {"online",                      {"send", "--comm", "0", "--dev", "1", "online"},                              {" 08 00 01 00 00 00 01 0A"}},
        {"status carries over",         {"send", "--comm", "0", "--dev", "1", "--zone", "1", "zone-alarm", "device-arm"}, {" 0C 00 01 00 00 00 02 01 11 00 00 21", " 0C 00 01 00 00 00 02 01 10 00 00 20"}},
        {"by index, top numbers",       {"send", "--comm", "239", "--dev", "2", "--zone", "8", "3"},                 {" 0C EF 02 00 00 00 02 80 11 00 00 90"}},
        {"hex text",                    {"hex", "08 00 02 00 00 00 01 0B"},                                           {" 08 00 02 00 00 00 01 0B"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Engine engine;
        const CliResult result =
            RunCli(c.arguments + Args{"--to", Loopback(engine.engine.ListeningPort()), "--expect-ack"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(engine.Received(), c.shown);
        const auto rtts = std::count_if(result.out.begin(), result.out.end(), [](const std::string& line) {
            return line.find(" in ") != std::string::npos && line.find("(rtt ") != std::string::npos;
        });
        EXPECT_EQ(static_cast<std::size_t>(rtts), c.shown.size());
        ExpectFields(result.Summary(), {{"acknowledged", std::to_string(c.shown.size())}, {"missing", "0"}});
    }
}

TEST(CliExchange, HexSendsExactlyTheParsedBytes)
{
    struct Case
    {
        const char* name;
        Args text;
        Bytes sent;
    };
    // clang-format off
    const Case cases[] = {
        {"empty text, empty datagram", {""},              {}},
        {"words joined by a space",    {"3E", "00", "ff"}, {0x3E, 0x00, 0xFF}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPeer peer;
        const CliResult result = RunCli(Args{"hex", "--to", Loopback(peer.Port())} + c.text);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        const auto datagram = peer.Receive();
        ASSERT_TRUE(datagram.has_value());
        EXPECT_EQ(datagram->bytes, c.sent);
    }
}

TEST(CliExchange, SweepWalksTheWindowsTicksToItsCentre)
{
    struct Case
    {
        const char* name;
        Args arguments;
        std::uint64_t firstTick;
        int count;
        double mostSeconds; // the first frame goes at once, not after a period
    };
    // clang-format off
    const Case cases[] = {
        {"from tick 1, windowed", {"--count", "14", "--rate", "max", "--window", "4"}, 1, 14, 10},
        {"from tick 7, paced",    {"--count", "5", "--start-tick", "7", "--rate", "100"}, 7, 5, 10},
        {"one frame, slow pace",  {"--count", "1", "--rate", "0.2"},                    1, 1,  2.5},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Engine engine;
        const auto start = std::chrono::steady_clock::now();
        const CliResult result = RunCli(
            Args{"sweep", "--to", Loopback(engine.engine.ListeningPort()), "--expect-ack"} + c.arguments);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  c.mostSeconds);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        SweepWalk walk(c.firstTick);
        std::vector<std::string> expected;
        for (int i = 0; i < c.count; ++i) {
            const auto frame = walk.Next();
            expected.push_back(FormatDatagramHex(frame));
        }
        EXPECT_EQ(engine.Received(), expected);
        ExpectFields(result.Summary(), {{"acknowledged", std::to_string(c.count)},
                                        {"lost", "0"},
                                        {"next_tick", std::to_string(c.firstTick + c.count)}});
    }
}

// The centre's fault options, seen from a sender that expects acknowledgements.
TEST(CliExchange, CentreFaultsShowInTheSendersOutcome)
{
    struct Case
    {
        const char* name;
        Args centre;
        Args send;
        int sendExit;
        Fields centreSummary;
        Fields sendSummary;
        long minRttUs;
    };
    // clang-format off
    const Case cases[] = {
        {"drop all, retried, missing", {"--drop", "100", "--count", "3"},       {"--retries", "2", "--timeout", "100"}, 1, {{"dropped", "3"}, {"acks_sent", "0"}},                 {{"sent", "3"}, {"retries", "2"}, {"missing", "1"}}, 0},
        {"answered twice",             {"--dup", "100", "--count", "1"},        {},                                    0, {{"acks_sent", "2"}, {"duplicated", "1"}, {"acknowledged", "1"}}, {{"acknowledged", "1"}},                     0},
        // The copy is counted as a duplicate alone, never as one more acknowledged, delayed or spoilt answer.
        {"twice, late and spoilt",     {"--dup", "100", "--delay", "50", "--bad-checksum", "100", "--count", "1"}, {"--timeout", "400"}, 1, {{"acks_sent", "2"}, {"duplicated", "1"}, {"acknowledged", "1"}, {"delayed", "1"}, {"bad_checksum", "1"}}, {{"bad_acks", "2"}, {"missing", "1"}}, 0},
        // A panel discards an answer whose checksum is wrong: so does the sender, and it retries.
        {"checksum spoilt, not taken", {"--bad-checksum", "100", "--count", "2"}, {"--retries", "1", "--timeout", "100"}, 1, {{"bad_checksum", "2"}},                       {{"bad_acks", "2"}, {"missing", "1"}},               0},
        {"answered late",              {"--delay", "300", "--count", "1"},      {},                                    0, {{"delayed", "1"}, {"acknowledged", "1"}},               {{"acknowledged", "1"}},                             300'000},
        {"no answers",                 {"--no-ack", "--count", "1"},            {"--timeout", "100"},                  1, {{"not_answered_no_ack", "1"}},                           {{"missing", "1"}},                                  0},
        // A rule of the proxy's vocabulary, on the centre's answers: its first answer withheld, the retry's sent.
        {"a rule withholds the first", {"--rule", "down withhold=1", "--count", "2"}, {"--retries", "1", "--timeout", "100"}, 0, {{"dropped", "1"}, {"acks_sent", "1"}}, {{"retries", "1"}, {"acknowledged", "1"}}, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CliProcess centre(Args{"centre", "--bind", "127.0.0.1", "--port", "0", "--seed", "1"} + c.centre);
        const auto port = centre.ListeningPort();
        ASSERT_TRUE(port.has_value());
        const CliResult sent = RunCli(
            Args{"send", "--to", Loopback(*port), "--comm", "1", "--dev", "2", "--expect-ack", "online"} +
            c.send);
        EXPECT_EQ(sent.exitCode, c.sendExit) << sent.err;
        ExpectFields(sent.Summary(), c.sendSummary);
        EXPECT_GE(std::stol(sent.Summary()["rtt_max_us"]), c.minRttUs);
        const CliResult answered = centre.Finish();
        EXPECT_EQ(answered.exitCode, 0) << answered.err;
        ExpectFields(answered.Summary(), c.centreSummary);
    }
}

TEST(CliExchange, JsonLinesAndCapturesAgreeOnBothSides)
{
    QTemporaryDir dir;
    const std::string centrePcap = dir.filePath(QStringLiteral("centre.pcap")).toStdString();
    const std::string sendPcap = dir.filePath(QStringLiteral("send.pcap")).toStdString();
    CliProcess centre(Args{"centre", "--bind", "127.0.0.1", "--port", "0", "--count", "1", "--jsonl",
                           "--pcap", centrePcap});
    const auto port = centre.ListeningPort();
    ASSERT_TRUE(port.has_value());
    const CliResult sent = RunCli(Args{"send", "--to", Loopback(*port), "--comm", "0", "--dev", "1", "--zone",
                                       "1", "--expect-ack", "--jsonl", "--pcap", sendPcap, "zone-alarm"});
    CliResult answered = centre.Finish();
    ASSERT_EQ(sent.exitCode, 0) << sent.err;
    ASSERT_EQ(answered.exitCode, 0) << answered.err;
    // The centre's lines start with the one that says where it listens.
    ASSERT_FALSE(answered.out.empty());
    EXPECT_NE(answered.out.front().find(R"("type":"listening")"), std::string::npos) << answered.out.front();
    answered.out.erase(answered.out.begin());

    static const QRegularExpression isoTime(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$)"));
    const Args keys{"ts", "dir", "peer", "len", "hex", "cmd", "comm", "dev", "ack", "checksum_ok"};
    for (const CliResult* run : {&sent, static_cast<const CliResult*>(&answered)}) {
        ASSERT_EQ(run->out.size(), 3U); // frame, acknowledgement, summary
        std::vector<QJsonObject> objects;
        for (const std::string& line : run->out)
            objects.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
        for (std::size_t i = 0; i < 2; ++i) {
            for (const std::string& key : keys)
                EXPECT_TRUE(objects[i].contains(QString::fromStdString(key))) << key;
            EXPECT_TRUE(isoTime.match(objects[i][QStringLiteral("ts")].toString()).hasMatch());
            EXPECT_EQ(objects[i][QStringLiteral("ack")].toBool(), i == 1);
            EXPECT_TRUE(objects[i][QStringLiteral("checksum_ok")].toBool());
        }
        EXPECT_EQ(objects[2][QStringLiteral("type")].toString(), QStringLiteral("summary"));
        EXPECT_EQ(objects[2][QStringLiteral("acknowledged")].toInt(), 1);
    }
    // Only the sender matched the acknowledgement to a frame it sent.
    EXPECT_TRUE(QJsonDocument::fromJson(QByteArray::fromStdString(sent.out[1]))
                    .object()
                    .contains(QStringLiteral("rtt_us")));
    EXPECT_EQ(sent.out[0].find(R"("hex":"0C 00 01 00 00 00 02 01 11 00 00 21")") != std::string::npos, true);

    // The two captures hold the same datagrams with the same addresses and ports.
    const PcapReadResult sendSide = ReadPcapFile(sendPcap);
    const PcapReadResult centreSide = ReadPcapFile(centrePcap);
    ASSERT_FALSE(sendSide.error) << *sendSide.error;
    ASSERT_FALSE(centreSide.error) << *centreSide.error;
    ASSERT_EQ(sendSide.records.size(), 2U);
    ASSERT_EQ(centreSide.records.size(), 2U);
    EXPECT_EQ(sendSide.records[0].payload, known::STATUS);
    EXPECT_EQ(sendSide.records[1].payload, known::STATUS_ACK);
    EXPECT_EQ(sendSide.records[0].destinationPort, *port);
    for (std::size_t i = 0; i < 2; ++i) {
        const PcapUdpRecord& a = sendSide.records[i];
        const PcapUdpRecord& b = centreSide.records[i];
        EXPECT_EQ(a.payload, b.payload);
        EXPECT_EQ(a.sourceAddress, INADDR_LOOPBACK);
        EXPECT_EQ(b.sourceAddress, INADDR_LOOPBACK);
        EXPECT_EQ(a.destinationAddress, b.destinationAddress);
        EXPECT_EQ(a.sourcePort, b.sourcePort);
        EXPECT_EQ(a.destinationPort, b.destinationPort);
        // Each side stamps a datagram as it hands it over or takes it: a frame, then its answer.
        EXPECT_LE(i == 0 ? a.timeUs : b.timeUs, i == 0 ? b.timeUs : a.timeUs);
    }
}

TEST(CliExchange, SignalsEndARunAfterItsSummary)
{
    struct Case
    {
        const char* name;
        Args arguments; // --to the peer follows, for all but the centre
        int signal;
        int exitCode;
    };
    // clang-format off
    const Case cases[] = {
        {"sweep, SIGINT",          {"sweep", "--rate", "200"},                                            SIGINT,  130},
        {"send waiting, SIGINT",   {"send", "--comm", "0", "--dev", "1", "--expect-ack", "--timeout", "60000", "online"}, SIGINT, 130},
        {"fleet, SIGTERM",         {"fleet", "--panels", "1", "--heartbeat", "0.2", "--duration", "60"},  SIGTERM, 143},
        {"centre, SIGTERM",        {"centre", "--bind", "127.0.0.1", "--port", "0"},                     SIGTERM, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPeer peer;
        const bool centre = c.arguments.front() == "centre";
        CliProcess process(centre ? c.arguments : c.arguments + Args{"--to", Loopback(peer.Port())});
        if (centre)
            ASSERT_TRUE(process.ListeningPort().has_value());
        else
            ASSERT_TRUE(peer.Receive().has_value()); // it is running
        process.Signal(c.signal);
        const CliResult result = process.Finish();
        EXPECT_EQ(result.exitCode, c.exitCode);
        ASSERT_FALSE(result.out.empty());
        EXPECT_EQ(result.out.back().rfind("summary: ", 0), 0U) << result.out.back();
    }
}

// A signal meant for a companion that has already exited reaches nobody: not the test, not its runner.
TEST(CliExchange, ASignalToAnExitedCompanionGoesNowhere)
{
    static volatile std::sig_atomic_t caught = 0;
    struct sigaction handler
    {
    };
    struct sigaction before
    {
    };
    handler.sa_handler = [](int) { caught = caught + 1; };
    // SIGURG: ignored by default, so a runner in the same process group is not stopped if it goes astray.
    ASSERT_EQ(::sigaction(SIGURG, &handler, &before), 0);
    CliProcess process({"events"});
    const CliResult result = process.Finish();
    EXPECT_EQ(result.exitCode, 0);
    process.Signal(SIGURG);
    EXPECT_EQ(caught, 0);
    ::sigaction(SIGURG, &before, nullptr);
}

// Random datagrams of 0 to 2,000 bytes: every answerable one is answered right, nothing else is. Every 32nd
// is answerable and waited for, so that the centre's queue never overflows and every datagram is read.
TEST(CliExchange, CentreSurvivesARandomFlood)
{
    constexpr int DATAGRAMS = 4000;
    constexpr int PACE_EVERY = 32;
    QTemporaryDir dir;
    CliProcess centre(
        Args{"centre", "--bind", "127.0.0.1", "--port", "0", "--count", std::to_string(DATAGRAMS)},
        dir.filePath(QStringLiteral("centre.out")).toStdString());
    const auto port = centre.ListeningPort();
    ASSERT_TRUE(port.has_value());
    LoopbackPeer peer;
    std::multiset<Bytes> due;
    std::size_t answerable = 0;
    int unexpected = 0;
    const auto takeAnswers = [&](std::chrono::milliseconds wait) {
        while (const auto answer = peer.Receive(due.empty() ? std::chrono::milliseconds(0) : wait)) {
            if (const auto found = due.find(answer->bytes); found != due.end())
                due.erase(found);
            else
                ++unexpected;
        }
    };
    std::mt19937 random(7);
    std::uniform_int_distribution<std::size_t> anyLength(0, 2000);
    std::uniform_int_distribution<std::size_t> frameLength(FRAME_COMMAND + 1, FRAME_BUFFER_SIZE);
    for (int i = 0; i < DATAGRAMS; ++i) {
        const bool pace = i % PACE_EVERY == PACE_EVERY - 1;
        Bytes datagram(pace ? frameLength(random) : anyLength(random));
        std::generate(datagram.begin(), datagram.end(), [&] { return static_cast<std::uint8_t>(random()); });
        if (pace)
            datagram[FRAME_COMMAND] &= static_cast<std::uint8_t>(~ACK_FLAG);
        const auto answer = AcknowledgementFor(datagram);
        if (const auto* ack = std::get_if<AckFrame>(&answer)) {
            due.emplace(ack->begin(), ack->end());
            ++answerable;
        }
        ASSERT_TRUE(peer.SendTo(*port, datagram));
        if (pace)
            takeAnswers(std::chrono::milliseconds(2000));
    }
    takeAnswers(std::chrono::milliseconds(2000));
    const CliResult result = centre.Finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(due.empty()) << due.size() << " answers missing";
    EXPECT_EQ(unexpected, 0);
    ExpectFields(result.Summary(), {{"received", std::to_string(DATAGRAMS)},
                                    {"acknowledged", std::to_string(answerable)},
                                    {"kernel_drops", "0"}});
}

} // namespace
