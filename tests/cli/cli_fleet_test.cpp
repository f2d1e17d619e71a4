#include "protocol/hex.h"
#include "tests/cli/cli_harness.h"
#include "tests/support/loopback_peer.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <set>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;

const QString METRICS_PORT = QStringLiteral("metrics on http://127\\.0\\.0\\.1:([0-9]+)/metrics");

struct Centre
{
    explicit Centre(const Args& options, const std::string& outputFile = {})
        : process(Args{"centre", "--bind", "127.0.0.1", "--port", "0", "--seed", "3"} + options, outputFile)
    {}
    std::string To() { return "127.0.0.1:" + std::to_string(process.ListeningPort().value_or(0)); }

    CliProcess process;
};

Args Fleet(const std::string& to, const Args& options)
{
    return Args{"fleet", "--to", to, "--seed", "5"} + options;
}

std::uint64_t Number(const std::map<std::string, std::string>& fields, const std::string& key)
{
    const auto found = fields.find(key);
    return found == fields.end() ? ~std::uint64_t{0} : std::stoull(found->second);
}

std::vector<QJsonObject> JsonLines(const std::vector<std::string>& lines)
{
    std::vector<QJsonObject> objects;
    for (const auto& line : lines)
        objects.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
    return objects;
}

TEST(CliFleet, RetriesThroughLossAndCountsFramesLostWithoutAnswers)
{
    struct Case
    {
        const char* name;
        Args centre;
        Args fleet;
        int exitCode;
        bool allLost;
    };
    const Case cases[] = {
        {"a tenth dropped, five retries",
         {"--drop", "10"},
         {"--panels", "1000", "--heartbeat", "0.5", "--duration", "1", "--retries", "5", "--retry-interval",
          "100"},
         0,
         false},
        {"never answered",
         {"--no-ack"},
         {"--panels", "50", "--heartbeat", "0.2", "--duration", "0.3", "--retries", "1", "--timeout", "50"},
         1,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Centre centre(c.centre);
        const CliResult fleet = RunCli(Fleet(centre.To(), c.fleet), 30s);
        centre.process.Signal(SIGINT);
        centre.process.Finish();
        ASSERT_EQ(fleet.exitCode, c.exitCode) << fleet.err;
        const auto summary = fleet.Summary();
        const std::uint64_t sent = Number(summary, "sent");
        const std::uint64_t retried = Number(summary, "retried");
        const std::uint64_t lost = Number(summary, "lost");
        const std::uint64_t acknowledged = Number(summary, "acknowledged");
        if (c.allLost) {
            EXPECT_EQ(acknowledged, 0u);
            EXPECT_EQ(lost, sent - retried) << "every first send lost";
            EXPECT_GE(lost, 50u);
        } else {
            EXPECT_EQ(lost, 0u);
            EXPECT_GT(retried, 0u);
            EXPECT_EQ(sent, acknowledged + retried);
            EXPECT_GE(acknowledged, 1000u) << "every panel heard at least once";
        }
    }
}

TEST(CliFleet, JsonSummaryLastAndKindsBeforeIt)
{
    Centre centre({});
    const CliResult fleet = RunCli(Fleet(centre.To(), {"--panels", "20", "--heartbeat", "0.2", "--duration",
                                                       "0.5", "--events", "36000", "--jsonl"}));
    centre.process.Signal(SIGINT);
    centre.process.Finish();
    ASSERT_EQ(fleet.exitCode, 0) << fleet.err;
    const auto objects = JsonLines(fleet.out);
    ASSERT_FALSE(objects.empty());
    const QJsonObject summary = objects.back();
    EXPECT_EQ(summary[QStringLiteral("type")].toString(), QStringLiteral("summary"));
    EXPECT_EQ(summary[QStringLiteral("command")].toString(), QStringLiteral("fleet"));
    EXPECT_EQ(summary[QStringLiteral("panels")].toInt(), 20);
    EXPECT_TRUE(summary.contains(QStringLiteral("rtt_p99_us")));
    std::set<QString> kinds;
    for (const auto& object : objects)
        if (object[QStringLiteral("type")].toString() == QStringLiteral("kind"))
            kinds.insert(object[QStringLiteral("kind")].toString());
    EXPECT_TRUE(kinds.contains(QStringLiteral("heartbeat")));
    EXPECT_GT(kinds.size(), 2u) << "events as well";
}

TEST(CliFleet, ReachesTheCentreFromEachAddressOfTheRange)
{
    Centre centre({"--jsonl"});
    const CliResult fleet =
        RunCli(Fleet(centre.To(), {"--panels", "8", "--heartbeat", "0.1", "--duration", "0.3", "--from",
                                   "127.0.0.2-127.0.0.5", "--sockets", "2"}));
    centre.process.Signal(SIGINT);
    const CliResult centreResult = centre.process.Finish();
    ASSERT_EQ(fleet.exitCode, 0) << fleet.err;
    std::set<std::string> addresses;
    std::set<std::string> peers;
    for (const auto& object : JsonLines(centreResult.out))
        if (object[QStringLiteral("dir")].toString() == QStringLiteral("in")) {
            const std::string peer = object[QStringLiteral("peer")].toString().toStdString();
            peers.insert(peer);
            addresses.insert(peer.substr(0, peer.find(':')));
        }
    EXPECT_EQ(addresses, (std::set<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}));
    EXPECT_EQ(peers.size(), 8u) << "four addresses on two ports";
}

// A JUnit file that cannot be written fails the run with status 3 and names the file, as in every command;
// one that can be is there at the end, with the run's own status.
TEST(CliFleet, AJunitFileThatCannotBeWrittenIsExitThree)
{
    QTemporaryDir dir;
    struct Case
    {
        const char* name;
        std::string junit;
        int exitCode;
    };
    const Case cases[] = {
        {"into a folder that does not exist", dir.filePath(QStringLiteral("missing/fleet.xml")).toStdString(),
         3},
        {"into a folder that does", dir.filePath(QStringLiteral("fleet.xml")).toStdString(), 0},
    };
    Centre centre({});
    const std::string to = centre.To();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult fleet = RunCli(
            Fleet(to, {"--panels", "3", "--heartbeat", "0.1", "--duration", "0.2", "--junit", c.junit}));
        EXPECT_EQ(fleet.exitCode, c.exitCode) << fleet.err;
        EXPECT_EQ(Number(fleet.Summary(), "exit"), static_cast<std::uint64_t>(c.exitCode));
        EXPECT_EQ(fleet.err.find(c.junit) != std::string::npos, c.exitCode == 3) << fleet.err;
        EXPECT_EQ(QFile::exists(QString::fromStdString(c.junit)), c.exitCode == 0);
    }
    centre.process.Signal(SIGINT);
    centre.process.Finish();
}

TEST(CliFleet, SupervisingCentreReportsAFleetMissingWhenItStopsAndBackWhenItStarts)
{
    QTemporaryDir dir;
    const std::string output = dir.filePath(QStringLiteral("centre.jsonl")).toStdString();
    const std::string report = dir.filePath(QStringLiteral("report.jsonl")).toStdString();
    Centre centre({"--supervise", "1", "--supervise-report", report, "--jsonl"}, output);
    const Args fleet =
        Fleet(centre.To(), {"--panels", "10", "--first", "3:235", "--heartbeat", "0.2", "--duration", "0.6"});
    const auto count = [&](const char* type) {
        QFile file(QString::fromStdString(output));
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        int n = 0;
        for (const auto& line : SplitLines(file.readAll()))
            n += line.find(std::string("\"type\":\"") + type + "\"") != std::string::npos ? 1 : 0;
        return n;
    };

    ASSERT_EQ(RunCli(fleet).exitCode, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return count("missing") == 10; }, 5000)) << count("missing");
    ASSERT_EQ(RunCli(fleet).exitCode, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return count("back") == 10; }, 5000)) << count("back");
    centre.process.Signal(SIGINT);
    const CliResult result = centre.process.Finish();
    EXPECT_EQ(result.exitCode, 0);

    QFile file(QString::fromStdString(report));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto panels = JsonLines(SplitLines(file.readAll()));
    ASSERT_EQ(panels.size(), 10u);
    for (const auto& panel : panels) {
        EXPECT_EQ(panel[QStringLiteral("gaps")].toInt(), 1);
        EXPECT_GT(panel[QStringLiteral("longest_silence_s")].toDouble(), 1.0);
    }
    const auto summary = JsonLines(result.out).back();
    EXPECT_EQ(summary[QStringLiteral("panels_seen")].toInt(), 10);
    EXPECT_EQ(summary[QStringLiteral("reported_back")].toInt(), 10);
}

// One HTTP exchange over TCP with 127.x: what the server answers until it closes or `limit` passes.
std::string Http(std::uint32_t address, std::uint16_t port, const std::string& request,
                 std::chrono::milliseconds limit = 3s)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    std::string answer;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        [[maybe_unused]] const auto written = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        const auto end = std::chrono::steady_clock::now() + limit;
        char buffer[4096];
        pollfd watched{fd, POLLIN, 0};
        while (std::chrono::steady_clock::now() < end && poll(&watched, 1, 50) >= 0) {
            if ((watched.revents & (POLLIN | POLLHUP)) == 0)
                continue;
            const auto n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return answer;
}

const std::string SCRAPE = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

// The body's families, checked line by line against the text format: name to type.
std::map<std::string, std::string> ParseExposition(const std::string& response)
{
    static const QRegularExpression sample(
        QStringLiteral(R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[^}]*\})? (\S+)$)"));
    std::map<std::string, std::string> types;
    const auto body = response.find("\r\n\r\n");
    if (body == std::string::npos)
        return types;
    for (const auto& line : SplitLines(QByteArray::fromStdString(response.substr(body + 4)))) {
        const QString text = QString::fromStdString(line);
        if (text.startsWith(QStringLiteral("# TYPE "))) {
            const auto parts = text.split(QLatin1Char(' '));
            EXPECT_EQ(parts.size(), 4) << line;
            types[parts.value(2).toStdString()] = parts.value(3).toStdString();
        } else if (!text.startsWith(QStringLiteral("# HELP ")) && !text.isEmpty()) {
            const auto match = sample.match(text);
            EXPECT_TRUE(match.hasMatch()) << line;
            bool number = false;
            match.captured(3).toDouble(&number);
            EXPECT_TRUE(number || match.captured(3) == QStringLiteral("+Inf")) << line;
        }
    }
    return types;
}

TEST(CliFleet, MetricsParseBindToLoopbackAndSurviveBadRequests)
{
    Centre centre({"--supervise", "5", "--metrics", "0"});
    const std::string to = centre.To();
    const auto centrePort = centre.process.AnnouncedPort(METRICS_PORT);
    ASSERT_TRUE(centrePort);

    CliProcess fleet(
        Fleet(to, {"--panels", "200", "--heartbeat", "0.1", "--duration", "2", "--metrics", "0"}));
    const auto fleetPort = fleet.AnnouncedPort(METRICS_PORT);
    ASSERT_TRUE(fleetPort);

    // Requests that a server must shrug off, the half-sent one held open while the others go.
    const int halfSent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to4{};
    to4.sin_family = AF_INET;
    to4.sin_port = htons(*centrePort);
    to4.sin_addr.s_addr = htonl(0x7F000001);
    ASSERT_EQ(connect(halfSent, reinterpret_cast<const sockaddr*>(&to4), sizeof to4), 0);
    const std::string partial = "GET /metrics HTTP/1.1\r\nHost: 12";
    ASSERT_GT(send(halfSent, partial.data(), partial.size(), MSG_NOSIGNAL), 0);
    const std::string bad[] = {
        "NONSENSE\r\n\r\n",
        "GET /" + std::string(200'000, 'a') + " HTTP/1.1\r\n\r\n",
        "GET /metrics HTTP/1.1\r\n" + std::string(100'000, 'x') + "\r\n\r\n",
        std::string("\x00\xFF\r\n\r\n", 6),
    };
    for (const auto& request : bad)
        Http(0x7F000001, *centrePort, request, 500ms);

    QTest::qWait(500); // a couple of publish periods
    for (const auto port : {*centrePort, *fleetPort}) {
        const auto types = ParseExposition(Http(0x7F000001, port, SCRAPE));
        for (const auto& [name, type] :
             std::map<std::string, std::string>{{"veltrano_frames_received_total", "counter"},
                                                {"veltrano_frames_sent_total", "counter"},
                                                {"veltrano_acknowledgements_total", "counter"},
                                                {"veltrano_retries_total", "counter"},
                                                {"veltrano_frames_lost_total", "counter"},
                                                {"veltrano_kernel_drops_total", "counter"},
                                                {"veltrano_panels_seen", "gauge"},
                                                {"veltrano_panels_missing", "gauge"},
                                                {"veltrano_panels_in_alarm", "gauge"},
                                                {"veltrano_events_total", "counter"},
                                                {"veltrano_round_trip_seconds", "histogram"}})
            EXPECT_EQ(types.contains(name) ? types.at(name) : "", type) << port << " " << name;
        EXPECT_TRUE(Http(0x7F000002, port, SCRAPE, 500ms).empty()) << "bound to 127.0.0.1 only";
    }
    close(halfSent);

    const CliResult fleetResult = fleet.Finish(30s);
    EXPECT_EQ(fleetResult.exitCode, 0) << fleetResult.err;
    EXPECT_EQ(Number(fleetResult.Summary(), "retried"), 0u) << "the centre kept up while scraped";
    centre.process.Signal(SIGINT);
    centre.process.Finish();
}

// The centre counts the events its panels' frames carry by the catalogue's key, and the panels in alarm now.
TEST(CliFleet, CentreMetricsCountEventsByKindAndPanelsInAlarm)
{
    Centre centre({"--metrics", "0"});
    const std::string to = centre.To();
    const auto port = centre.process.AnnouncedPort(METRICS_PORT);
    ASSERT_TRUE(port);
    LoopbackPeer peer;
    const std::uint16_t centrePort = centre.process.ListeningPort().value_or(0);
    for (const char* hex : {"0C 00 01 00 00 00 02 04 11 00 00 24", "0C 00 02 00 00 00 02 02 15 00 00 27",
                            "0C 00 02 00 00 00 02 00 15 00 00 25", "0C 00 03 00 00 00 02 01 11 00 00 23"})
        peer.SendTo(centrePort, ParseHexBytes(hex).value());
    const std::string wanted[] = {
        "veltrano_events_total{event=\"zone-alarm\"} 3",
        "veltrano_events_total{event=\"zone-alarm-restore\"} 1",
        "veltrano_events_total{event=\"tamper\"} 1",
        "veltrano_events_total{event=\"device-disarm\"} 0",
        "veltrano_panels_in_alarm 2",
        "veltrano_panels_seen 3",
    };
    std::string body;
    const auto hasAll = [&] {
        body = Http(0x7F000001, *port, SCRAPE);
        return std::ranges::all_of(wanted, [&](const std::string& line) {
            return body.find("\n" + line + "\n") != std::string::npos;
        });
    };
    EXPECT_TRUE(QTest::qWaitFor(hasAll, 5000)) << body;
    centre.process.Signal(SIGINT);
    centre.process.Finish();
}

// Every metric the dashboard and the alerting rules of the package name is one the centre or the fleet
// serves, and each covers what it is there for.
TEST(CliFleet, DashboardAndRulesNameOnlyServedMetrics)
{
    Centre centre({"--metrics", "0"});
    const auto centrePort = centre.process.AnnouncedPort(METRICS_PORT);
    ASSERT_TRUE(centrePort);
    CliProcess fleet(Fleet(centre.To(), {"--panels", "1", "--duration", "1", "--metrics", "0"}));
    const auto fleetPort = fleet.AnnouncedPort(METRICS_PORT);
    ASSERT_TRUE(fleetPort);
    std::set<std::string> served;
    for (const auto port : {*centrePort, *fleetPort})
        for (const auto& [name, type] : ParseExposition(Http(0x7F000001, port, SCRAPE))) {
            served.insert(name);
            if (type == "histogram")
                for (const char* suffix : {"_bucket", "_sum", "_count"})
                    served.insert(name + suffix);
        }
    EXPECT_TRUE(served.contains("veltrano_events_total"));

    const struct
    {
        const char* file;
        std::vector<std::string> covers;
    } files[] = {
        {"veltrano-dashboard.json",
         {"veltrano_frames_received_total", "veltrano_acknowledgements_total",
          "veltrano_round_trip_seconds_bucket", "veltrano_panels_seen", "veltrano_panels_missing",
          "veltrano_panels_in_alarm", "veltrano_events_total"}},
        {"veltrano-alerts.yml",
         {"veltrano_panels_missing", "veltrano_frames_lost_total", "veltrano_kernel_drops_total"}},
    };
    static const QRegularExpression metric(QStringLiteral("\\bveltrano_[a-z0-9_]+"));
    // An option the advice names is one the centre takes.
    static const QRegularExpression option(QStringLiteral("(?<![\\w-])--[a-z][a-z-]+"));
    const auto optionsIn = [](const QString& text) {
        std::set<std::string> options;
        for (auto it = option.globalMatch(text); it.hasNext();)
            options.insert(it.next().captured(0).toStdString());
        return options;
    };
    std::string help;
    for (const std::string& line : RunCli({"centre", "--help"}).out)
        help += line + "\n";
    const std::set<std::string> centreOptions = optionsIn(QString::fromStdString(help));
    for (const auto& f : files) {
        QFile file(QStringLiteral(VELTRANO_MONITORING_DIR "/") + QString::fromUtf8(f.file));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << f.file;
        const QByteArray text = file.readAll();
        if (QString::fromUtf8(f.file).endsWith(QStringLiteral(".json"))) {
            QJsonParseError error;
            QJsonDocument::fromJson(text, &error);
            EXPECT_EQ(error.error, QJsonParseError::NoError)
                << f.file << ": " << error.errorString().toStdString();
        }
        std::set<std::string> named;
        for (auto it = metric.globalMatch(QString::fromUtf8(text)); it.hasNext();)
            named.insert(it.next().captured(0).toStdString());
        for (const std::string& name : named)
            EXPECT_TRUE(served.contains(name)) << f.file << " names " << name << ", which nothing serves";
        for (const std::string& name : f.covers)
            EXPECT_TRUE(named.contains(name)) << f.file << " leaves out " << name;
        for (const std::string& name : optionsIn(QString::fromUtf8(text)))
            EXPECT_TRUE(centreOptions.contains(name))
                << f.file << " names " << name << ", which centre does not take";
    }
    EXPECT_EQ(fleet.Finish().exitCode, 0);
    centre.process.Signal(SIGINT);
    centre.process.Finish();
}

} // namespace
