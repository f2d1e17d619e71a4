#include "link/rate_text.h"
#include "net/host_port.h"
#include "protocol/hex.h"
#include "protocol/log_line.h"
#include "sim/event_name.h"
#include "tests/cli/cli_harness.h"
#include "tests/support/capture_files.h"
#include "tests/support/known_frames.h"
#include "tests/support/loopback_peer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <optional>
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

// Every bad input of every command: status 2 (3 for a held port), one line on stderr, nothing on stdout and
// nothing sent. FILE in the arguments and the reason is a file of the case's bytes (none: a missing one).
TEST(CliExit, BadInputsSendNothing)
{
    LoopbackPeer peer;
    LoopbackPeer held;
    const std::string to = Loopback(peer.Port());
    const std::string heldPort = std::to_string(held.Port());
    const std::string peerVar = "peer=" + to;
    const std::string alarm = std::string(VELTRANO_EXAMPLES_DIR) + "/panel-alarm-and-restore.yaml";
    const std::string capture = PcapFile(101, {});
    const Args fleet{"fleet", "--to", to, "--seed", "5", "--panels"};
    struct Case
    {
        const char* name;
        Args arguments;
        std::optional<std::string> file;
        int exitCode;
        std::string reason;
    };
    // clang-format off
    const Case cases[] = {
        {"unknown event",            {"send", "--to", to, "--comm", "0", "--dev", "1", "online", "no-such"}, {}, 2, "unknown event"},
        {"a centre rule going up",   {"centre", "--port", "0", "--rule", "up drop"},                        {}, 2, "--rule 'up drop': a centre's rules act on its answers"},
        {"event index past the list",{"send", "--to", to, "--comm", "0", "--dev", "1", "23"},              {}, 2, "not 0 to 22"},
        {"communicator 240",         {"send", "--to", to, "--comm", "240", "--dev", "1", "online"},        {}, 2, "--comm"},
        {"device 240",               {"send", "--to", to, "--comm", "0", "--dev", "240", "online"},        {}, 2, "--dev"},
        {"zone 9",                   {"send", "--to", to, "--comm", "0", "--dev", "1", "--zone", "9", "online"}, {}, 2, "--zone"},
        {"zone event without zone",  {"send", "--to", to, "--comm", "0", "--dev", "1", "online", "zone-alarm"}, {}, 2, "needs --zone"},
        {"malformed hex text",       {"hex", "--to", to, "0C  00"},                                        {}, 2, "single spaces"},
        {"broadcast destination",    {"hex", "--to", "255.255.255.255:7015", "0C"},                        {}, 2, "broadcast"},
        {"no port",                  {"hex", "--to", "127.0.0.1", "0C"},                                   {}, 2, "HOST:PORT"},
        {"rate zero",                {"sweep", "--to", to, "--rate", "0"},                                 {}, 2, "rate"},
        {"unknown subcommand",       {"panel"},                                                            {}, 2, "veltrano-cli:"},
        {"held local port",          {"hex", "--to", to, "--from-port", heldPort, "0C"},                   {}, 3, "Address already in use"},
        {"held centre port",         {"centre", "--port", heldPort, "--count", "1"},                       {}, 3, "Address already in use"},
        {"fleet past the address space",     fleet + Args{"57601"},                                        {}, 2, "--panels"},
        {"fleet range past 239:239",         fleet + Args{"100", "--first", "239:200"},                    {}, 2, "run past 239:239"},
        {"fleet from another machine",       fleet + Args{"1", "--from", "192.0.2.1"},                     {}, 2, "neither a loopback"},
        {"fleet from another network",       fleet + Args{"1", "--from", "127.0.0.250-128.0.0.3"},         {}, 2, "more than 65536"},
        {"fleet heartbeat zero",             fleet + Args{"1", "--heartbeat", "0"},                        {}, 2, "--heartbeat must be"},
        {"fleet heartbeat negative",         fleet + Args{"1", "--heartbeat", "-1"},                       {}, 2, "--heartbeat must be"},
        {"fleet heartbeat under 1 ms",       fleet + Args{"1", "--heartbeat", "0.0000001"},                {}, 2, "--heartbeat must be"},
        {"fleet metrics on no address",      fleet + Args{"1", "--metrics", "nowhere:1"},                  {}, 2, "--metrics"},
        {"test centre, unknown --only id",   {"test", "centre", "--to", to, "--only", "ack-every-event,nope"}, {}, 2, R"(unknown case "nope")"},
        {"test centre, unknown --skip id",   {"test", "centre", "--to", to, "--skip", "nope"},             {}, 2, R"(unknown case "nope")"},
        {"test panel, bad retry window",     {"test", "panel", "--port", "9", "--retry-within", "5-1"},    {}, 2, "--retry-within"},
        {"replay, missing file",             {"replay", "FILE", "--to", to},                               {}, 2, "No such file"},
        {"replay, not a capture",            {"replay", "FILE", "--to", to}, "just some text, not a capture",  2, "cannot read"},
        {"replay, cut header",               {"replay", "FILE", "--to", to}, capture.substr(0, 12),           2, "cannot read"},
        {"replay, bad filter",               {"replay", "FILE", "--to", to, "--filter", "udp port banana"}, capture, 2, "bad filter"},
        {"run, syntax error",                {"run", "FILE"}, "role: panel\npeer: 127.0.0.1:9\nsteps: [wait: 1\n", 2, "veltrano-cli: FILE:4:1: "},
        {"run, unknown key",                 {"run", "FILE"}, "role: panel\npeer: 127.0.0.1:9\nsteps:\n  - send: {hex: '08', colour: red}\n", 2, "veltrano-cli: FILE:4:23: "},
        {"run, wrong value",                 {"run", "FILE"}, "role: panel\npeer: 127.0.0.1:9\nsteps:\n  - expect-ack: {within: soon}\n", 2, "veltrano-cli: FILE:4:26: "},
        {"run, unknown --var",               {"run", alarm, "--var", peerVar, "--var", "nope=1"},          {}, 2, "veltrano-cli: " + alarm + ":7:7: "},
        {"run, peer not HOST:PORT",          {"run", alarm, "--var", "peer=nowhere"},                      {}, 2, "veltrano-cli: " + alarm + ":8:7: "},
    };
    // clang-format on
    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("input")).toStdString();
    const auto withFile = [&](std::string text) {
        for (std::size_t at = text.find("FILE"); at != std::string::npos;
             at = text.find("FILE", at + file.size()))
            text.replace(at, 4, file);
        return text;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(file.c_str());
        if (c.file) {
            ASSERT_TRUE(WriteBytes(file, *c.file));
        }
        Args arguments;
        for (const std::string& argument : c.arguments)
            arguments.push_back(withFile(argument));
        const CliResult result = RunCli(arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_NE(result.err.find(withFile(c.reason)), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_TRUE(result.out.empty());
        // Anything sent to loopback is queued by the time the sender has exited.
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
        {"Chinese",                {"decode", "--zh", known::STATUS_ACK_HEX},   {}, 0, "命令：状态确认 (0x82)", "", 0},
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
