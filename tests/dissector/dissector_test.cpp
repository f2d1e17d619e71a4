#include "protocol/pcap_writer.h"
#include "tests/support/hex_text.h"

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
#include <string>
#include <string_view>
#include <vector>

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
    {"status", 7015, 8015, "0C 00 01 00 00 00 02 01 11 00 00 21", "Status comm 0 dev 1 alarm: zone 1; flags: disarmed, mains absent", "", "length=12 comm=0 dev=1 reserved=000000 cmd=0x02 ack=0 zone_alarm=0x01 flags=0x11 zone_disarm=0x00 spare=0x00 data= checksum=0x21 checksum.status=1"},
    {"status, other flags", 7015, 8015, "0C 03 EF 00 00 00 02 05 6A 00 00 6F", "Status comm 3 dev 239 alarm: zones 1,3; flags: emergency help, battery abnormal, test mode, under-voltage", "", "flags.disarmed=0 flags.help=1 flags.tamper=0 flags.battery=1 flags.mains_absent=0 flags.test_mode=1 flags.under_voltage=1"},
    {"status, disarmed", 7015, 8015, "0C 00 01 00 00 00 02 01 11 FF 00 20", "Status comm 0 dev 1 alarm: zone 1; disarmed: zones 1,2,3,4,5,6,7,8; flags: disarmed, mains absent", "", "zone_disarm=0xff checksum.status=1"},
    {"acknowledgement", 8015, 7015, "08 00 01 00 00 00 82 8B", "ACK status comm 0 dev 1", "", "cmd=0x82 ack=1 zone_alarm= checksum=0x8b checksum.status=1"},
    {"online", 7015, 8015, "08 00 01 00 00 00 01 0A", "Online comm 0 dev 1", "", "cmd=0x01 ack=0 zone_alarm= checksum=0x0a checksum.status=1"},
    {"fault, status bytes end with the length", 7015, 8015, "09 00 01 00 00 00 03 01 0E", "Fault comm 0 dev 1 alarm: zone 1", "", "cmd=0x03 zone_alarm=0x01 flags= checksum=0x0e checksum.status=1"},
    {"unknown command", 7015, 8015, "0B 00 02 00 00 00 0F 41 01 00 5E", "Command 0x0f comm 0 dev 2 alarm: zones 1,7; flags: disarmed", "", "cmd=0x0f zone_disarm=0x00 spare= checksum.status=1"},
    {"debug, no checksum", 7015, 8015, "12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00", "Debug", "", "cmd=0x3e zone_alarm= data=00000000000000000000 checksum=0x00 checksum.status=2"},
    {"bad checksum", 7015, 8015, "0C 00 01 00 00 00 02 01 11 00 00 22", "Status comm 0 dev 1 alarm: zone 1; flags: disarmed, mains absent [bad checksum]", "Warning/Checksum", "checksum=0x22 checksum.status=0"},
    {"length byte short of the datagram", 7015, 8015, "0C 00 01 00 00 00 02 01 11 00 00 21 00", "Status comm 0 dev 1 alarm: zone 1; flags: disarmed, mains absent [length mismatch]", "Warning/Protocol", "length=12 checksum=0x21 checksum.status=1"},
    {"truncated", 7015, 8015, "0C 00 01 00 00 00 02 01 11", "Status comm 0 dev 1 alarm: zone 1; flags: disarmed, mains absent [length mismatch] [truncated]", "Warning/Protocol,Warning/Malformed", "flags=0x11 zone_disarm= checksum= checksum.status="},
    {"heuristic, other ports", 47015, 48015, "0C 00 01 00 00 00 02 01 11 00 00 21", "Status comm 0 dev 1 alarm: zone 1; flags: disarmed, mains absent", "", "checksum.status=1"},
    {"heuristic, unknown command", 47015, 48015, "0B 00 02 00 00 00 0F 41 01 00 5E", "", "", "length="},
    {"heuristic, bad checksum", 47300, 47301, "0C 00 01 00 00 00 02 01 11 00 00 22", "", "", "length="},
    {"heuristic, other datagram", 47200, 47201, "47 45 54 20 2F 20 48 54 54 50 2F 31 2E 31 0D 0A", "", "", "length="},
    {"preference port", EXTRA_PORT, 47101, "0C 00 01 00 00 00 02 01 11 00 00 22", "Status comm 0 dev 1 alarm: zone 1; flags: disarmed, mains absent [bad checksum]", "Warning/Checksum", "checksum.status=0"},
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

TEST(Dissector, DecodesEachDatagram)
{
    const TempDir dir;
    ASSERT_FALSE(dir.path.empty());

    const fs::path file = dir.path / "cases.pcap";
    PcapFileWriter writer;
    ASSERT_TRUE(writer.Open(file.string()));
    std::int64_t timeUs = 1'700'000'000'000'000;
    for (const Case& c : CASES) {
        const std::vector<std::uint8_t> payload = Bytes(c.frame);
        ASSERT_TRUE(writer.Write({timeUs += 1000, LOOPBACK, c.from, LOOPBACK, c.to, payload}));
    }
    ASSERT_TRUE(writer.Close());

    std::vector<std::string> fields{"_ws.col.Protocol", "_ws.col.Info", "_ws.expert"};
    for (const Case& c : CASES)
        for (const std::string& pair : Split(c.fields, ' ')) {
            const std::string field = "veltrano." + pair.substr(0, pair.find('='));
            if (std::find(fields.begin(), fields.end(), field) == fields.end())
                fields.push_back(field);
        }
    const std::string script = "lua_script:" VELTRANO_LUA;
    const std::string port = "veltrano.extra_port:" + std::to_string(EXTRA_PORT);
    std::vector<std::string> args{"-n", "-X", script, "-o", port, "-r", file.string(), "-T", "fields"};
    for (const std::string& field : fields)
        args.insert(args.end(), {"-e", field});

    const TsharkRun run = RunTshark(args, dir.path);
    ASSERT_NE(run.exitCode, 127) << "tshark is not on PATH; scripts/install-deps.sh installs it";
    const char* rootHint = geteuid() == 0 ? "As root, tshark runs -X scripts only while its init.lua sets "
                                            "run_user_scripts_when_superuser.\n"
                                          : "";
    ASSERT_EQ(run.exitCode, 0) << run.err << rootHint;
    // Lua errors, such as the protocol registered twice, do not change tshark's exit code.
    EXPECT_EQ(run.err.find("Lua"), std::string::npos) << run.err;

    std::vector<std::string> lines = Split(run.out, '\n');
    ASSERT_EQ(lines.back(), "");
    lines.pop_back();
    ASSERT_EQ(lines.size(), std::size(CASES)) << run.out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Case& c = CASES[i];
        SCOPED_TRACE(c.name);
        const std::vector<std::string> values = Split(lines[i], '\t');
        ASSERT_EQ(values.size(), fields.size()) << lines[i];
        std::map<std::string, std::string, std::less<>> value;
        for (std::size_t f = 0; f < fields.size(); ++f)
            value[fields[f]] = values[f];

        EXPECT_EQ(value["_ws.col.Protocol"] == "Veltrano", !c.info.empty()) << value["_ws.col.Protocol"];
        if (!c.info.empty()) {
            EXPECT_EQ(value["_ws.col.Info"], c.info);
        }
        EXPECT_EQ(ExpertTags(value["_ws.expert"]), c.experts);
        for (const std::string& pair : Split(c.fields, ' ')) {
            const std::size_t equals = pair.find('=');
            EXPECT_EQ(value["veltrano." + pair.substr(0, equals)], pair.substr(equals + 1)) << pair;
        }
    }
}

} // namespace
