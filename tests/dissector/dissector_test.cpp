#include "protocol/acknowledgement.h"
#include "protocol/command_table.h"
#include "protocol/frame_decoder.h"
#include "protocol/pcap_writer.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

using namespace veltrano;

// VELTRANO_LUA: absolute path of the script under test, from CMake.

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t LOOPBACK = 0x7F000001;
constexpr std::uint16_t EXTRA_PORT = 47100; // given to the dissector's port preference

struct Case
{
    std::string_view name;
    std::uint16_t from;
    std::uint16_t to;
    std::string_view frame;   // hex bytes of the datagram
    std::string_view info;    // Info column; empty: the datagram must stay plain UDP
    std::string_view experts; // "Severity/Group" of each expert item, in tree order
    std::string_view fields;  // "name=value" for veltrano.<name>, space separated; "name=" when absent
};

// clang-format off
const Case CASES[] = {
    {"status", 7015, 8015, known::STATUS_HEX, "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent", "", "length=12 comm=0 dev=1 reserved=000000 cmd=0x02 ack=0 zone_alarm=0x01 flags=0x11 zone_disarm=0x00 spare=0x00 data= checksum=0x21 checksum.status=1"},
    {"status, other flags", 7015, 8015, "0C 03 EF 00 00 00 02 05 6A 00 00 6F", "Status comm 3 dev 239 alarm: zones 1,3 flags: help,battery,test_mode,under_voltage", "", "flags.disarmed=0 flags.help=1 flags.tamper=0 flags.battery=1 flags.mains_absent=0 flags.test_mode=1 flags.under_voltage=1"},
    {"status, disarmed", 7015, 8015, "0C 00 01 00 00 00 02 01 11 FF 00 20", "Status comm 0 dev 1 alarm: zone 1 disarmed: zones 1,2,3,4,5,6,7,8 flags: disarmed,mains_absent", "", "zone_disarm=0xff checksum.status=1"},
    {"acknowledgement", 8015, 7015, known::STATUS_ACK_HEX, "ACK status comm 0 dev 1", "", "cmd=0x82 ack=1 zone_alarm= checksum=0x8b checksum.status=1"},
    {"online", 7015, 8015, "08 00 01 00 00 00 01 0A", "Online comm 0 dev 1", "", "cmd=0x01 ack=0 zone_alarm= checksum=0x0a checksum.status=1"},
    {"fault, status bytes end with the length", 7015, 8015, "09 00 01 00 00 00 03 01 0E", "Fault comm 0 dev 1", "", "cmd=0x03 zone_alarm=0x01 flags= checksum=0x0e checksum.status=1"},
    {"unknown command", 7015, 8015, "0B 00 02 00 00 00 0F 41 01 00 5E", "Unknown 0x0F comm 0 dev 2 [unknown_command]", "", "cmd=0x0f zone_disarm=0x00 spare= checksum.status=1"},
    {"debug, no checksum", 7015, 8015, "12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00", "Debug comm 0 dev 0", "", "cmd=0x3e zone_alarm= data=00000000000000000000 checksum=0x00 checksum.status=2"},
    {"bad checksum", 7015, 8015, "0C 00 01 00 00 00 02 01 11 00 00 22", "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent [bad_checksum]", "Warning/Checksum", "checksum=0x22 checksum.status=0"},
    {"length byte short of the datagram", 7015, 8015, "0C 00 01 00 00 00 02 01 11 00 00 21 00", "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent [length_mismatch]", "Warning/Protocol", "length=12 checksum=0x21 checksum.status=1"},
    {"truncated", 7015, 8015, "0C 00 01 00 00 00 02 01 11", "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent [length_mismatch,truncated]", "Warning/Protocol,Warning/Malformed", "flags=0x11 zone_disarm= checksum= checksum.status="},
    {"short, out of range, reserved", 7015, 8015, "05 F0 F1 00 07", "Short 5 bytes [reserved_not_zero,comm_out_of_range,device_out_of_range,truncated]", "Warning/Malformed", "comm=240 dev=241 cmd="},
    {"heuristic, other ports", 47015, 48015, known::STATUS_HEX, "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent", "", "checksum.status=1"},
    {"heuristic, unknown command", 47016, 48016, "0B 00 02 00 00 00 0F 41 01 00 5E", "", "", "length="},
    {"heuristic, bad checksum", 47300, 47301, "0C 00 01 00 00 00 02 01 11 00 00 22", "", "", "length="},
    {"heuristic, other datagram", 47200, 47201, "47 45 54 20 2F 20 48 54 54 50 2F 31 2E 31 0D 0A", "", "", "length="},
    {"preference port", EXTRA_PORT, 47101, "0C 00 01 00 00 00 02 01 11 00 00 22", "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent [bad_checksum]", "Warning/Checksum", "checksum.status=0"},
};
// clang-format on

std::vector<std::string> Split(std::string_view text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::string_view::npos; start = at + 1)
        parts.emplace_back(text.substr(start, at - start));
    parts.emplace_back(text.substr(start));
    return parts;
}

// "Warning/Checksum,..." from tshark's "Expert Info (Warning/Checksum): text,Expert Info (...": text".
std::string ExpertTags(std::string_view expert)
{
    constexpr std::string_view marker = "Expert Info (";
    std::string tags;
    for (std::size_t at = expert.find(marker); at != std::string_view::npos; at = expert.find(marker, at)) {
        at += marker.size();
        tags += (tags.empty() ? "" : ",") + std::string(expert.substr(at, expert.find(')', at) - at));
    }
    return tags;
}

std::string ShellQuoted(std::string_view text)
{
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct TempDir final
{
    fs::path path;
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "veltrano-dissector-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

struct TsharkRun
{
    int exitCode{-1};
    std::string out;
    std::string err;
};

// tshark from PATH with HOME in the temporary folder, so a copy of the script installed for the user, or
// the user's preferences, cannot stand in for or disturb the script under test.
TsharkRun RunTshark(const std::vector<std::string>& args, const fs::path& dir)
{
    std::string command =
        "env -u XDG_CONFIG_HOME -u WIRESHARK_CONFIG_DIR HOME=" + ShellQuoted(dir.string()) + " tshark";
    for (const std::string& arg : args)
        command += " " + ShellQuoted(arg);
    command += " 2>" + ShellQuoted((dir / "stderr").string());

    TsharkRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        run.out.append(chunk, n);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = ReadFile(dir / "stderr");
    return run;
}

// One datagram of a capture: the time in milliseconds from the capture's start.
struct Datagram
{
    std::int64_t ms;
    std::uint16_t from;
    std::uint16_t to;
    std::string_view frame;
};

// Writes the datagrams, all on 127.0.0.1, into `file` with the project's writer.
::testing::AssertionResult WriteCapture(const fs::path& file, std::span<const Datagram> datagrams)
{
    PcapFileWriter writer;
    if (const auto opened = writer.Open(file.string()); !opened)
        return ::testing::AssertionFailure() << opened.error();
    for (const Datagram& d : datagrams) {
        const std::vector<std::uint8_t> payload = Bytes(d.frame);
        if (const auto written = writer.Write(
                {1'700'000'000'000'000 + d.ms * 1000, LOOPBACK, d.from, LOOPBACK, d.to, payload});
            !written)
            return ::testing::AssertionFailure() << written.error();
    }
    if (const auto closed = writer.Close(); !closed)
        return ::testing::AssertionFailure() << closed.error();
    return ::testing::AssertionSuccess();
}

// A temporary folder for each test's capture and tshark's errors.
class Dissector : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_FALSE(dir.path.empty()); }

    // tshark with the script on a capture of the datagrams; each output line split at tabs.
    std::vector<std::vector<std::string>> Run(std::span<const Datagram> datagrams,
                                              const std::vector<std::string>& options,
                                              std::string* text = nullptr)
    {
        const fs::path file = dir.path / "capture.pcap";
        EXPECT_TRUE(WriteCapture(file, datagrams));
        std::vector<std::string> args{"-n", "-X", "lua_script:" VELTRANO_LUA, "-r", file.string()};
        args.insert(args.end(), options.begin(), options.end());
        const TsharkRun run = RunTshark(args, dir.path);
        EXPECT_NE(run.exitCode, 127) << "tshark is not on PATH; scripts/install-deps.sh installs it";
        const char* rootHint = geteuid() == 0
                                   ? "As root, tshark runs -X scripts only while its init.lua sets "
                                     "run_user_scripts_when_superuser.\n"
                                   : "";
        EXPECT_EQ(run.exitCode, 0) << run.err << rootHint;
        // Lua errors, such as the protocol registered twice, do not change tshark's exit code.
        EXPECT_EQ(run.err.find("Lua"), std::string::npos) << run.err;
        if (text != nullptr)
            *text = run.out;
        std::vector<std::vector<std::string>> rows;
        for (const std::string& line : Split(run.out, '\n'))
            if (!line.empty())
                rows.push_back(Split(line, '\t'));
        return rows;
    }

    const TempDir dir;
};

TEST_F(Dissector, DecodesEachDatagram)
{
    std::vector<Datagram> datagrams;
    for (const Case& c : CASES)
        datagrams.push_back({static_cast<std::int64_t>(datagrams.size()), c.from, c.to, c.frame});
    std::vector<std::string> fields{"_ws.col.Protocol", "_ws.col.Info", "_ws.expert"};
    for (const Case& c : CASES)
        for (const std::string& pair : Split(c.fields, ' ')) {
            const std::string field = "veltrano." + pair.substr(0, pair.find('='));
            if (std::find(fields.begin(), fields.end(), field) == fields.end())
                fields.push_back(field);
        }
    std::vector<std::string> options{"-o", "veltrano.extra_port:" + std::to_string(EXTRA_PORT), "-T",
                                     "fields"};
    for (const std::string& field : fields)
        options.insert(options.end(), {"-e", field});

    std::string text;
    const auto rows = Run(datagrams, options, &text);
    ASSERT_TRUE(text.ends_with('\n'));
    ASSERT_EQ(rows.size(), std::size(CASES)) << text;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Case& c = CASES[i];
        SCOPED_TRACE(c.name);
        const std::vector<std::string>& values = rows[i];
        ASSERT_EQ(values.size(), fields.size());
        std::map<std::string, std::string, std::less<>> value;
        for (std::size_t f = 0; f < fields.size(); ++f)
            value[fields[f]] = values[f];

        EXPECT_EQ(value["_ws.col.Protocol"] == "Veltrano", !c.info.empty()) << value["_ws.col.Protocol"];
        if (!c.info.empty()) {
            EXPECT_EQ(value["_ws.col.Info"], c.info);
            // One wording: the companion's summary of the same bytes.
            EXPECT_EQ(value["_ws.col.Info"], SummarizeFrame(DecodeFrame(Bytes(c.frame))));
        }
        EXPECT_EQ(ExpertTags(value["_ws.expert"]), c.experts);
        for (const std::string& pair : Split(c.fields, ' ')) {
            const std::size_t equals = pair.find('=');
            EXPECT_EQ(value["veltrano." + pair.substr(0, equals)], pair.substr(equals + 1)) << pair;
        }
    }
}

constexpr std::string_view STATUS = known::STATUS_HEX;
constexpr std::string_view STATUS_ACK = known::STATUS_ACK_HEX;
constexpr std::string_view ONLINE = "08 00 01 00 00 00 01 0A";
constexpr std::string_view ONLINE_ACK = "08 00 01 00 00 00 81 8A";

// A retry answered twice and once more, an acknowledgement of nothing, a frame of another panel port with
// the same bytes, and three online round trips of 1, 2 and 7 ms.
const Datagram EXCHANGE[] = {
    {0, 7016, 8015, STATUS},                     // 1: another panel's, never answered
    {10, 7015, 8015, STATUS},                    // 2
    {20, 7015, 8015, STATUS},                    // 3: retry of 2
    {25, 8015, 7015, STATUS_ACK},                // 4: answers 2, the oldest waiting
    {30, 8015, 7015, STATUS_ACK},                // 5: answers 3
    {35, 8015, 7015, STATUS_ACK},                // 6: 3 again
    {40, 8015, 7015, "08 00 02 00 00 00 82 8C"}, // 7: device 2 sent nothing
    {50, 7015, 8015, ONLINE},
    {51, 8015, 7015, ONLINE_ACK},
    {60, 7015, 8015, ONLINE},
    {62, 8015, 7015, ONLINE_ACK},
    {70, 7015, 8015, ONLINE},
    {77, 8015, 7015, ONLINE_ACK},
};

TEST_F(Dissector, PairsAcknowledgementsWithTheOldestWaitingFrame)
{
    struct Expected
    {
        std::string_view responseIn;
        std::string_view responseTo;
        std::string_view responseTime;
        std::string_view retransmissionOf;
        std::string_view duplicateAck;
        std::string_view experts;
    };
    // clang-format off
    const Expected expected[] = {
        {"",   "",  "",            "",  "",  ""},
        {"4",  "",  "",            "",  "",  ""},
        {"5",  "",  "",            "2", "",  "Note/Sequence"},
        {"",   "2", "0.015000000", "",  "",  ""},
        {"",   "3", "0.010000000", "",  "",  ""},
        {"",   "",  "",            "",  "3", "Note/Sequence"},
        {"",   "",  "",            "",  "",  "Warning/Sequence"},
        {"9",  "",  "",            "",  "",  ""},
        {"",   "8", "0.001000000", "",  "",  ""},
        {"11", "",  "",            "",  "",  ""},
        {"",   "10", "0.002000000", "", "",  ""},
        {"13", "",  "",            "",  "",  ""},
        {"",   "12", "0.007000000", "", "",  ""},
    };
    // clang-format on
    static_assert(std::size(expected) == std::size(EXCHANGE));

    // Two passes, so that a frame shows the acknowledgement that comes after it.
    const auto rows =
        Run(EXCHANGE, {"-2", "-Y", "veltrano", "-T", "fields", "-e", "veltrano.response_in", "-e",
                       "veltrano.response_to", "-e", "veltrano.response_time", "-e",
                       "veltrano.retransmission_of", "-e", "veltrano.duplicate_ack", "-e", "_ws.expert"});
    ASSERT_EQ(rows.size(), std::size(expected));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        const Expected& x = expected[i];
        ASSERT_EQ(rows[i].size(), 6U);
        EXPECT_EQ(rows[i][0], x.responseIn);
        EXPECT_EQ(rows[i][1], x.responseTo);
        EXPECT_EQ(rows[i][2], x.responseTime);
        EXPECT_EQ(rows[i][3], x.retransmissionOf);
        EXPECT_EQ(rows[i][4], x.duplicateAck);
        EXPECT_EQ(ExpertTags(rows[i][5]), x.experts);
    }
}

// Every command of the protocol's table, and its acknowledgement, named as the summary names it from the
// table.
TEST_F(Dissector, NamesEveryCommandOfTheTable)
{
    std::vector<std::string> frames;
    for (const CommandRow& row : COMMAND_TABLE) {
        if (row.kind == CommandKind::Unknown)
            continue;
        std::vector<std::uint8_t> frame(row.length, 0);
        frame[FRAME_LENGTH] = row.length;
        frame[FRAME_DEVICE_NO] = 1;
        frame[FRAME_COMMAND] = row.code;
        frame.back() = FrameChecksum(frame);
        const AckFrame ack = std::get<AckFrame>(AcknowledgementFor(frame));
        frames.push_back(FormatBytesHex(frame));
        frames.push_back(FormatBytesHex(ack));
    }
    std::vector<Datagram> datagrams;
    for (const std::string& frame : frames)
        datagrams.push_back({static_cast<std::int64_t>(datagrams.size()), 7015, 8015, frame});

    const auto rows = Run(datagrams, {"-T", "fields", "-e", "_ws.col.Info"});
    ASSERT_EQ(rows.size(), frames.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const CommandRow& row = COMMAND_TABLE[i / 2];
        const std::string summary = SummarizeFrame(DecodeFrame(Bytes(frames[i])));
        EXPECT_EQ(rows[i].at(0), summary) << frames[i];
        EXPECT_EQ(summary.find(i % 2 == 0 ? row.name : row.name.substr(1)), i % 2 == 0 ? 0U : 5U) << summary;
    }
}

// Every copy of a frame not answered yet names the first copy, however many came between.
TEST_F(Dissector, RetransmissionsNameTheFirstUnansweredCopy)
{
    const Datagram copies[] = {
        {0, 7015, 8015, STATUS},  {10, 7015, 8015, STATUS},     {20, 7015, 8015, STATUS},
        {30, 7015, 8015, STATUS}, {35, 8015, 7015, STATUS_ACK},
    };
    const std::string_view retransmissionOf[] = {"", "1", "1", "1", ""};
    static_assert(std::size(retransmissionOf) == std::size(copies));

    const auto rows = Run(copies, {"-2", "-Y", "veltrano", "-T", "fields", "-e", "frame.number", "-e",
                                   "veltrano.retransmission_of"});
    ASSERT_EQ(rows.size(), std::size(copies));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 2U);
        EXPECT_EQ(rows[i][1], retransmissionOf[i]) << "frame " << rows[i][0];
    }
}

TEST_F(Dissector, SlowAcknowledgementsFilterOnTheResponseTime)
{
    const auto rows =
        Run(EXCHANGE, {"-Y", "veltrano.response_time > 0.005", "-T", "fields", "-e", "frame.number"});
    const std::vector<std::vector<std::string>> slow{{"4"}, {"5"}, {"13"}};
    EXPECT_EQ(rows, slow);
}

TEST_F(Dissector, RoundTripStatisticsPerCommand)
{
    std::string text;
    Run(EXCHANGE, {"-q", "-z", "veltrano,rtt"}, &text);

    // Nearest rank, rounded up: of 1, 2 and 7 ms the median is 2 and the 99th percentile 7; of 10 and 15
    // the median is 10.
    for (const std::string_view line : {
             "Command           Frames  Acknowledged  Unanswered  Retransmitted      Min      p50      p99   "
             "   Max",
             "Online                 3             3           0              0    1.000    2.000    7.000   "
             " 7.000",
             "Status                 3             2           1              1   10.000   10.000   15.000   "
             "15.000",
             "Duplicate acknowledgements: 1",
             "Acknowledgements of no frame: 1",
         })
        EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line << "\nin\n" << text;
}

TEST_F(Dissector, RecognisedConversationStaysDecoded)
{
    // clang-format off
    const Datagram datagrams[] = {
        {0, 47415, 48415, "0C 00 01 00 00 00 02 01 11 00 00 22"},     // not yet recognised: plain UDP
        {1, 47415, 48415, STATUS},                                     // recognised here
        {2, 48415, 47415, "08 00 01 00 00 00 82 8C"},                  // bad checksum, the other way
        {3, 47415, 48415, "0C 00 01 00 00 00 02 01 11 00 00 21 00"},   // length mismatch
        {4, 47415, 48416, "0C 00 01 00 00 00 02 01 11 00 00 22"},      // another conversation
    };
    const std::vector<std::vector<std::string>> expected{
        {"UDP", "", ""},
        {"Veltrano", "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent", ""},
        {"Veltrano", "ACK status comm 0 dev 1 [bad_checksum]", "Warning/Checksum"},
        {"Veltrano", "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent [length_mismatch]", "Warning/Protocol"},
        {"UDP", "", ""},
    };
    // clang-format on

    for (const bool twoPasses : {false, true}) {
        SCOPED_TRACE(twoPasses ? "two passes" : "one pass");
        std::vector<std::string> options{"-T", "fields",       "-e", "_ws.col.Protocol",
                                         "-e", "_ws.col.Info", "-e", "_ws.expert"};
        if (twoPasses)
            options.insert(options.begin(), {"-2", "-Y", "udp"});
        const auto rows = Run(datagrams, options);
        ASSERT_EQ(rows.size(), expected.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ASSERT_EQ(rows[i].size(), 3U);
            EXPECT_EQ(rows[i][0], expected[i][0]) << "frame " << i + 1;
            if (rows[i][0] == "Veltrano") {
                EXPECT_EQ(rows[i][1], expected[i][1]) << "frame " << i + 1;
            }
            EXPECT_EQ(ExpertTags(rows[i][2]), expected[i][2]) << "frame " << i + 1;
        }
    }
}

} // namespace
