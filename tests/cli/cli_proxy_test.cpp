#include "tests/cli/cli_harness.h"
#include "tests/support/hex_text.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/pcap_reader.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;

const std::vector<std::uint8_t> STATUS = Bytes("0C 03 07 00 00 00 02 01 11 00 00 2A");
const std::vector<std::uint8_t> STATUS_ACK = Bytes("08 03 07 00 00 00 82 94");
const std::vector<std::uint8_t> ONLINE = Bytes("08 03 07 00 00 00 01 13");
const std::vector<std::uint8_t> ONLINE_ACK = Bytes("08 03 07 00 00 00 81 93");

std::string Loopback(std::uint16_t port)
{
    return "127.0.0.1:" + std::to_string(port);
}

// A proxy on 127.0.0.1 in front of `centrePort`, with these options.
struct RunningProxy
{
    RunningProxy(std::uint16_t centrePort, const Args& options)
        : process(Args{"proxy", "--bind", "127.0.0.1", "--port", "0", "--to", Loopback(centrePort)} + options)
    {
        port = process.ListeningPort().value_or(0);
    }
    CliProcess process;
    std::uint16_t port{0};
};

// What a panel got back within `wait` of its last send: every datagram, in order.
std::vector<std::vector<std::uint8_t>> Answers(const LoopbackPeer& panel, std::chrono::milliseconds wait)
{
    std::vector<std::vector<std::uint8_t>> answers;
    while (auto datagram = panel.Receive(wait))
        answers.push_back(std::move(datagram->bytes));
    return answers;
}

// One HTTP exchange with the control API; the status line and the body.
std::pair<std::string, std::string> Http(std::uint16_t port, const std::string& method,
                                         const std::string& path, const std::string& body = {})
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = method + " " + path +
                                    " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                                    "\r\n\r\n" + body;
        [[maybe_unused]] const auto sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        for (ssize_t n = 0; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const auto lineEnd = answer.find("\r\n");
    const auto bodyStart = answer.find("\r\n\r\n");
    return {answer.substr(0, lineEnd),
            bodyStart == std::string::npos ? std::string() : answer.substr(bodyStart + 4)};
}

} // namespace

TEST(CliProxy, ForwardsEveryDatagramByteForByteBothWays)
{
    LoopbackPeer centre;
    RunningProxy proxy(centre.Port(), {});
    ASSERT_NE(proxy.port, 0);
    LoopbackPeer panel(0, 2);
    const std::vector<std::vector<std::uint8_t>> datagrams{
        {}, STATUS, Bytes("0C FF FF 01"), std::vector<std::uint8_t>(65'507, 0xA5), STATUS_ACK};
    for (const auto& datagram : datagrams) {
        ASSERT_TRUE(panel.SendTo(proxy.port, datagram));
        const auto up = centre.Receive(5s);
        ASSERT_TRUE(up);
        EXPECT_EQ(up->bytes, datagram) << datagram.size();
        // The centre's answer, whatever it holds, back to the panel as it was.
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_port = htons(up->fromPort);
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_TRUE(centre.Reply(datagram, from));
        const auto down = panel.Receive(5s);
        ASSERT_TRUE(down);
        EXPECT_EQ(down->bytes, datagram) << datagram.size();
    }
    proxy.process.Signal(SIGINT);
    const auto result = proxy.process.Finish();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.Summary().at("up_forwarded"), "5");
    EXPECT_EQ(result.Summary().at("down_forwarded"), "5");
    EXPECT_EQ(result.Summary().at("sessions_opened"), "1");
}

TEST(CliProxy, EachRuleKindDoesWhatItSaysToThePanelsItNames)
{
    struct Case
    {
        const char* rule;
        std::vector<std::vector<std::uint8_t>> sent; // by the panel on 127.0.0.2, 50 ms apart
        std::vector<std::vector<std::uint8_t>> got;  // back at that panel, in order
        int otherPanelGot;                           // answers to the one STATUS of the panel on 127.0.0.1
    };
    auto spoilt = STATUS_ACK;
    spoilt.back() ^= 0xFF;
    // clang-format off
    const Case cases[] = {
        {"up drop",                      {STATUS},                 {},                                   0},
        {"down drop from=127.0.0.2",     {STATUS},                 {},                                   1},
        {"up drop command=online",       {ONLINE, STATUS},         {STATUS_ACK},                         1},
        {"down dup=2",                   {STATUS},                 {STATUS_ACK, STATUS_ACK, STATUS_ACK}, 3},
        {"down corrupt",                 {STATUS},                 {spoilt},                             1},
        {"up withhold=2",                {STATUS, STATUS, STATUS}, {STATUS_ACK},                         0},
        {"up delay=100",                 {STATUS},                 {STATUS_ACK},                         1},
        {"up reorder command=status from=127.0.0.2", {STATUS, ONLINE},         {ONLINE_ACK, STATUS_ACK},             1},
        {"up loss=100/100",              {STATUS},                 {},                                   0},
    };
    // clang-format on
    CliProcess centre({"centre", "--bind", "127.0.0.1", "--port", "0"});
    const auto centrePort = centre.ListeningPort();
    ASSERT_TRUE(centrePort);
    for (const Case& c : cases) {
        RunningProxy proxy(*centrePort, {"--rule", c.rule, "--seed", "1"});
        ASSERT_NE(proxy.port, 0) << c.rule;
        LoopbackPeer panel(0, 2);
        LoopbackPeer other(0, 1);
        for (const auto& datagram : c.sent) {
            panel.SendTo(proxy.port, datagram);
            std::this_thread::sleep_for(50ms);
        }
        other.SendTo(proxy.port, STATUS);
        EXPECT_EQ(Answers(panel, 400ms), c.got) << c.rule;
        EXPECT_EQ(static_cast<int>(Answers(other, 100ms).size()), c.otherPanelGot) << c.rule;
        proxy.process.Signal(SIGINT);
        const auto result = proxy.process.Finish();
        EXPECT_EQ(result.exitCode, 0) << c.rule;
        EXPECT_EQ(result.Summary().at("sessions_opened"), "2") << c.rule;
    }
}

TEST(CliProxy, ABadRuleIsAUsageErrorNamingIt)
{
    const auto result = RunCli({"proxy", "--port", "0", "--to", "127.0.0.1:9", "--rule", "up vanish"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("'up vanish': column 4: unknown action"), std::string::npos) << result.err;
}

TEST(CliProxy, TheControlApiAddsListsAndRemovesRulesWhileItRuns)
{
    CliProcess centre({"centre", "--bind", "127.0.0.1", "--port", "0"});
    const auto centrePort = centre.ListeningPort();
    ASSERT_TRUE(centrePort);
    RunningProxy proxy(*centrePort, {"--control", "0", "--rule", "down delay=1"});
    const auto control = proxy.process.AnnouncedPort(QStringLiteral("control on http://127.0.0.1:([0-9]+)"));
    ASSERT_TRUE(control);
    LoopbackPeer panel(0, 2);

    const auto added = Http(*control, "POST", "/rules", "up drop command=status");
    EXPECT_EQ(added.first, "HTTP/1.1 201 Created");
    EXPECT_EQ(added.second, "{\"id\":2,\"rule\":\"up drop command=status\"}\n");
    panel.SendTo(proxy.port, STATUS);
    EXPECT_TRUE(Answers(panel, 300ms).empty());
    const auto listed = Http(*control, "GET", "/rules");
    EXPECT_EQ(listed.first, "HTTP/1.1 200 OK");
    EXPECT_NE(listed.second.find("{\"id\":2,\"rule\":\"up drop command=status\",\"matched\":1,\"acted\":1}"),
              std::string::npos)
        << listed.second;
    EXPECT_EQ(Http(*control, "DELETE", "/rules/2").first, "HTTP/1.1 204 No Content");
    EXPECT_EQ(Http(*control, "DELETE", "/rules/2").first, "HTTP/1.1 404 Not Found");
    panel.SendTo(proxy.port, STATUS);
    EXPECT_EQ(Answers(panel, 300ms).size(), 1U);
    const auto bad = Http(*control, "POST", "/rules", "up drop pct=300");
    EXPECT_EQ(bad.first, "HTTP/1.1 400 Bad Request");
    EXPECT_NE(bad.second.find("column 13: pct=P"), std::string::npos) << bad.second;
    EXPECT_EQ(Http(*control, "DELETE", "/rules").first, "HTTP/1.1 204 No Content");
    EXPECT_EQ(Http(*control, "GET", "/rules").second, "{\"rules\":[]}\n");
    proxy.process.Signal(SIGINT);
    EXPECT_EQ(proxy.process.Finish().exitCode, 0);
}

TEST(CliProxy, TheCaptureHoldsBothLegsAndEachLineNamesItsFault)
{
    QTemporaryDir dir;
    const std::string pcap = dir.filePath(QStringLiteral("proxy.pcap")).toStdString();
    CliProcess centre({"centre", "--bind", "127.0.0.1", "--port", "0"});
    const auto centrePort = centre.ListeningPort();
    ASSERT_TRUE(centrePort);
    RunningProxy proxy(*centrePort, {"--pcap", pcap, "--jsonl", "--rule", "down delay=20", "--count", "1"});
    LoopbackPeer panel(0, 2);
    panel.SendTo(proxy.port, STATUS);
    EXPECT_EQ(Answers(panel, 500ms).size(), 1U);
    const auto result = proxy.process.Finish();
    EXPECT_EQ(result.exitCode, 0);
    const auto records = ReadPcapFile(pcap).records;
    ASSERT_EQ(records.size(), 4U);
    // Panel to proxy, proxy to centre, centre to proxy, proxy to panel.
    const std::uint32_t panelAddress = Ipv4(127, 0, 0, 2);
    EXPECT_EQ(records[0].sourceAddress, panelAddress);
    EXPECT_EQ(records[0].destinationPort, proxy.port);
    EXPECT_EQ(records[1].destinationPort, *centrePort);
    EXPECT_EQ(records[2].sourcePort, *centrePort);
    EXPECT_EQ(records[3].destinationAddress, panelAddress);
    EXPECT_EQ(records[0].payload, STATUS);
    EXPECT_EQ(records[3].payload, STATUS_ACK);
    // The listening line, the frame up, its answer down, the summary.
    ASSERT_GE(result.out.size(), 4U);
    EXPECT_NE(result.out[0].find("\"type\":\"listening\""), std::string::npos) << result.out[0];
    EXPECT_NE(result.out[1].find("\"way\":\"up\""), std::string::npos) << result.out[1];
    EXPECT_NE(result.out[2].find("\"way\":\"down\""), std::string::npos) << result.out[2];
    EXPECT_NE(result.out[2].find("\"fault\":\"delay\",\"rule\":1"), std::string::npos) << result.out[2];
    EXPECT_NE(result.out[2].find("\"centre_rtt_us\":"), std::string::npos) << result.out[2];
    EXPECT_NE(result.out[2].find("\"panel_rtt_us\":"), std::string::npos) << result.out[2];
}
