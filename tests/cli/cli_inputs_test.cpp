#include "link/rate_text.h"
#include "net/host_port.h"
#include "protocol/hex.h"
#include "protocol/log_line.h"
#include "sim/event_name.h"
#include "tests/cli/cli_harness.h"
#include "tests/support/loopback_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <variant>

using namespace veltrano;

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CliInputs, TextParsersAcceptWhatTheyShouldAndGiveAReasonOtherwise)
{
    struct Case
    {
        const char* name;
        const char* text;
        std::variant<int, Bytes, std::optional<double>, HostPort> expected; // the parser is picked by type
        bool accepted;
    };
    // clang-format off
    const Case cases[] = {
        {"event by key",               "zone-alarm",            3,                          true},
        {"event by index",             "22",                    22,                         true},
        {"event index past the list",  "23",                    0,                          false},
        {"event key is exact",         "Zone-Alarm",            0,                          false},
        {"event with a sign",          "+3",                    0,                          false},
        {"hex as the list shows it",   " 0C 00 01",             Bytes{0x0C, 0x00, 0x01},    true},
        {"hex run together",           "0c0001\r\n",            Bytes{0x0C, 0x00, 0x01},    true},
        {"hex odd digit",              "0C 0",                  Bytes{},                    false},
        {"hex split pair",             "0 C",                   Bytes{},                    false},
        {"hex not a digit",            "0G",                    Bytes{},                    false},
        {"hex nothing",                "  ",                    Bytes{},                    false},
        {"rate max",                   "max",                   std::optional<double>(),    true},
        {"rate fraction",              "0.5",                   std::optional(0.5),         true},
        {"rate zero",                  "0",                     std::optional<double>(),    false},
        {"rate not finite",            "inf",                   std::optional<double>(),    false},
        {"host and port",              "localhost:7015",        HostPort{"localhost", 7015}, true},
        {"dotted quad",                "127.0.0.1:65535",       HostPort{"127.0.0.1", 65535}, true},
        {"port zero",                  "127.0.0.1:0",           HostPort{},                 false},
        {"port too large",             "127.0.0.1:65536",       HostPort{},                 false},
        {"no port",                    "127.0.0.1",             HostPort{},                 false},
        {"blank in host",              "local host:1",          HostPort{},                 false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::visit(
            [&](const auto& expected) {
                using T = std::decay_t<decltype(expected)>;
                const auto result = [&] {
                    if constexpr (std::is_same_v<T, int>)
                        return ParseEventName(c.text);
                    else if constexpr (std::is_same_v<T, Bytes>)
                        return ParseHexBytes(c.text);
                    else if constexpr (std::is_same_v<T, HostPort>)
                        return SplitHostPort(c.text);
                    else
                        return ParseRate(c.text);
                }();
                ASSERT_EQ(result.has_value(), c.accepted);
                if (c.accepted) {
                    if constexpr (std::is_same_v<T, HostPort>) {
                        EXPECT_EQ(result->host, expected.host);
                        EXPECT_EQ(result->port, expected.port);
                    } else {
                        EXPECT_EQ(*result, expected);
                    }
                } else {
                    EXPECT_FALSE(result.error().empty());
                }
            },
            c.expected);
    }
}

TEST(CliInputs, DestinationsThatAreNoSingleHostAreRefused)
{
    const std::uint32_t broadcasts[] = {Ipv4(203, 0, 113, 255)};
    struct Case
    {
        const char* name;
        const char* address;
        bool refused;
    };
    // clang-format off
    const Case cases[] = {
        {"loopback",            "127.0.0.1",       false},
        {"zero",                "0.0.0.0",         true},
        {"limited broadcast",   "255.255.255.255", true},
        {"interface broadcast", "203.0.113.255",   true},
        {"multicast",           "239.1.2.3",       true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(!DestinationAllowed(ntohl(inet_addr(c.address)), broadcasts), c.refused);
    }
    const auto local = ResolveHostPort("localhost:7015");
    ASSERT_TRUE(local);
    EXPECT_EQ(*local, (Endpoint{LOOPBACK_ADDRESS, 7015}));
    // The interfaces' own addresses, which a fleet may send from: loopback's, and none of their broadcasts.
    const auto own = InterfaceAddresses();
    EXPECT_TRUE(own.contains(LOOPBACK_ADDRESS));
    for (const std::uint32_t broadcast : InterfaceBroadcastAddresses())
        EXPECT_FALSE(own.contains(broadcast)) << FormatPeer(broadcast, 0);
}

// Every bad input: status 2 (3 for a held port), one line on stderr, and nothing sent.
TEST(CliExit, BadInputsSendNothing)
{
    LoopbackPeer peer;
    LoopbackPeer held;
    const std::string to = "127.0.0.1:" + std::to_string(peer.Port());
    const std::string heldPort = std::to_string(held.Port());
    struct Case
    {
        const char* name;
        Args arguments;
        int exitCode;
        const char* reason;
    };
    // clang-format off
    const Case cases[] = {
        {"unknown event",            {"send", "--to", to, "--comm", "0", "--dev", "1", "online", "no-such"}, 2, "unknown event"},
        {"event index past the list",{"send", "--to", to, "--comm", "0", "--dev", "1", "23"},              2, "not 0 to 22"},
        {"communicator 240",         {"send", "--to", to, "--comm", "240", "--dev", "1", "online"},        2, "--comm"},
        {"device 240",               {"send", "--to", to, "--comm", "0", "--dev", "240", "online"},        2, "--dev"},
        {"zone 9",                   {"send", "--to", to, "--comm", "0", "--dev", "1", "--zone", "9", "online"}, 2, "--zone"},
        {"zone event without zone",  {"send", "--to", to, "--comm", "0", "--dev", "1", "online", "zone-alarm"}, 2, "needs --zone"},
        {"malformed hex text",       {"hex", "--to", to, "0C  00"},                                        2, "single spaces"},
        {"broadcast destination",    {"hex", "--to", "255.255.255.255:7015", "0C"},                        2, "broadcast"},
        {"no port",                  {"hex", "--to", "127.0.0.1", "0C"},                                   2, "HOST:PORT"},
        {"rate zero",                {"sweep", "--to", to, "--rate", "0"},                                 2, "rate"},
        {"unknown subcommand",       {"panel"},                                                            2, "veltrano-cli:"},
        {"held local port",          {"hex", "--to", to, "--from-port", heldPort, "0C"},                   3, "Address already in use"},
        {"held centre port",         {"centre", "--port", heldPort, "--count", "1"},                       3, "Address already in use"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult result = RunCli(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_TRUE(result.out.empty());
        EXPECT_FALSE(peer.TryReceive().has_value());
    }
}

TEST(CliOffline, DecodeAndEventsPrintFieldsOrAReason)
{
    struct Case
    {
        const char* name;
        Args arguments;
        QByteArray input;
        int exitCode;
        const char* out;   // in some line of stdout
        const char* err;   // in stderr
        std::size_t lines; // of stdout; 0: not checked
    };
    // clang-format off
    const Case cases[] = {
        {"display line",           {"decode", " 0C 00 01 00 00 00 02 01 11 00 00 21"}, {}, 0, "| Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent", "", 7},
        {"run together, any case", {"decode", "080001000000828b"},                  {}, 0, "checksum good (expected 0x8B, found 0x8B)", "", 0},
        {"stdin, blank line",      {"decode", "--jsonl"}, "0c 00 01 00 00 00 02 01 11 00 00 21\n\n08 00 01 00 00 00 82 8B\n", 0, R"("kind":"status","comm":0,"dev":1,"ack":true,"status":[])", "", 2},
        {"findings",               {"decode", "08 00 01 00 00 00 01 FF"},           {}, 0, "findings bad_checksum", "", 0},
        {"Chinese",                {"decode", "--zh", "08 00 01 00 00 00 82 8B"},   {}, 0, "命令：状态确认 (0x82)", "", 0},
        {"malformed argument",     {"decode", "0C 00", "0C 0"},                     {}, 2, "", "odd hex digit", 0},
        {"malformed stdin line",   {"decode"}, "08 00\nxyz\n",                          2, "| Short 2 bytes", "line 2: not a hex digit", 0},
        {"events",                 {"events"},                                      {}, 0, " 3  zone-alarm             status        12 bytes, zone  防区报警", "", 23},
        {"events as JSON",         {"events", "--jsonl"},                           {}, 0, R"({"type":"event","index":0,"key":"online","name":"设备在线命令","kind":"online","length":8,"zone":false})", "", 23},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult result = RunCli(c.arguments, std::chrono::seconds(10), c.input);
        EXPECT_EQ(result.exitCode, c.exitCode);
        if (*c.out != '\0') {
            EXPECT_TRUE(std::any_of(result.out.begin(), result.out.end(), [&](const std::string& line) {
                return line.find(c.out) != std::string::npos;
            }));
        }
        if (*c.err != '\0') {
            EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        }
        if (c.lines != 0) {
            EXPECT_EQ(result.out.size(), c.lines);
        }
        if (c.exitCode != 0 && c.input.isEmpty()) {
            EXPECT_TRUE(result.out.empty()); // arguments are all checked before any is printed
        }
    }
}

} // namespace
