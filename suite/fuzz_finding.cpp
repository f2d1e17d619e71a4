#include "suite/fuzz_finding.h"

#include "link/json_line.h"
#include "protocol/acknowledgement.h"
#include "protocol/frame.h"
#include "protocol/pcap_writer.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <variant>

namespace veltrano {

namespace {

template <typename Each>
std::string JsonArray(const std::vector<FuzzFrame>& frames, Each each)
{
    std::string out = "[";
    for (const FuzzFrame& frame : frames) {
        if (out.size() > 1)
            out += ',';
        each(out, frame);
    }
    return out + ']';
}

std::string Hex(const Bytes& bytes)
{
    return FormatBytesHex(bytes);
}

Status WriteText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file)
        return Failure(fmt::format("cannot write {}: {}", path.string(), std::strerror(errno)));
    return {};
}

Status WriteCapture(const std::filesystem::path& path, const FuzzFinding& finding)
{
    PcapFileWriter writer;
    if (auto opened = writer.Open(path.string()); !opened)
        return opened;
    for (const FuzzPacket& packet : finding.capture) {
        const Endpoint& from = packet.sent ? finding.local : finding.target;
        const Endpoint& to = packet.sent ? finding.target : finding.local;
        if (auto written =
                writer.Write({packet.timeUs, from.address, from.port, to.address, to.port, packet.bytes});
            !written)
            return written;
    }
    return writer.Close();
}

} // namespace

std::string_view FindingKindKey(FindingKind kind)
{
    switch (kind) {
    case FindingKind::Crash:
        return "crash";
    case FindingKind::Hang:
        return "hang";
    case FindingKind::Rule:
        return "rule";
    }
    return "crash";
}

std::string FindingJson(const FuzzFinding& finding, std::string_view folder)
{
    std::string out;
    JsonLine json(out);
    json.Text("type", "finding")
        .Text("kind", FindingKindKey(finding.kind))
        .Text("side", finding.side == FuzzSide::Centre ? "centre" : "panel")
        .Number("seed", finding.seed)
        .Text("target", finding.target.ToString())
        .Text("message", finding.message)
        .Raw("cases", JsonArray(finding.frames,
                                [](std::string& o, const FuzzFrame& f) { o += std::to_string(f.caseIndex); }))
        .Raw("classes", JsonArray(finding.frames,
                                  [](std::string& o, const FuzzFrame& f) {
                                      AppendJsonString(o, FuzzClasses()[f.row].id);
                                  }))
        .Raw("frames", JsonArray(finding.frames, [](std::string& o, const FuzzFrame& f) {
                 AppendJsonString(o, Hex(f.bytes));
             }));
    if (finding.kind == FindingKind::Rule)
        json.Text("expected", finding.expected).Text("got", finding.got);
    if (finding.kind == FindingKind::Hang)
        json.Number("hang_ms", static_cast<double>(finding.length.count()) / 1000.0);
    json.Bool("minimised", finding.minimised)
        .Bool("reproduced", finding.reproduced)
        .Text("command", finding.command);
    if (!folder.empty())
        json.Text("folder", folder);
    json.End();
    out.pop_back(); // the line end: the file and the line add their own
    return out;
}

namespace {

// A comment of one line, whatever the message holds.
std::string OneLine(std::string text)
{
    std::ranges::replace_if(
        text, [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

std::string CentreScenario(const FuzzFinding& finding, std::string_view name)
{
    std::string out =
        fmt::format("# A {} that fuzz centre found: {}\n# It fails while the fault is there and passes once "
                    "it is mended.\n"
                    "#\n#     veltrano-cli run scenario.yaml --var peer={}\nname: {}\nrole: panel\n"
                    "vars: {{peer: \"{}\"}}\npeer: ${{peer}}\ntimeout: {}\nsteps:\n",
                    FindingKindKey(finding.kind), OneLine(finding.message), finding.target.ToString(), name,
                    finding.target.ToString(), finding.probeTimeoutMs);
    for (std::size_t i = 0; i < finding.frames.size(); ++i) {
        const FuzzFrame& frame = finding.frames[i];
        out += fmt::format("  - send: {{hex: \"{}\", id: case-{}-{}}}\n", Hex(frame.bytes), frame.caseIndex,
                           i + 1);
    }
    if (finding.kind == FindingKind::Rule && !finding.frames.empty()) {
        const bool answered =
            std::holds_alternative<AckFrame>(AcknowledgementFor(finding.frames.back().bytes));
        out += fmt::format("  - {}: {{id: answer-by-the-rule}}\n", answered ? "expect-ack" : "expect-no-ack");
    }
    out += fmt::format("  - send: {{hex: \"{}\", id: probe}}\n  - expect-ack: {{id: probe-acknowledged}}\n",
                       Hex(ProbeFrame()));
    return out;
}

// Each case's datagrams answer the next frame the panel sends; then the panel must send on (a crash, a
// hang) or send nothing malformed (a broken rule) within its silence limit.
std::string PanelScenario(const FuzzFinding& finding, std::string_view name)
{
    const std::string port = std::to_string(finding.local.port);
    const std::string local = finding.local.ToString();
    std::string out = fmt::format(
        "# A {} that fuzz panel found: {}\n# It fails while the fault is there and passes once it is mended: "
        "start it, then the panel, sending to it.\n"
        "#\n#     veltrano-cli run scenario.yaml --var port={}\nname: {}\nrole: centre\n"
        "vars: {{port: \"{}\"}}\nport: ${{port}}\nbind: \"{}\"\ntimeout: {}\nsteps:\n",
        FindingKindKey(finding.kind), OneLine(finding.message), port, name, port,
        local.substr(0, local.rfind(':')), finding.silenceMs);
    for (std::size_t i = 0; i < finding.frames.size();) {
        const FuzzFrame& first = finding.frames[i];
        std::string datagrams;
        for (; i < finding.frames.size() && finding.frames[i].caseIndex == first.caseIndex; ++i)
            datagrams += fmt::format("{}\"{}\"", datagrams.empty() ? "" : ", ", Hex(finding.frames[i].bytes));
        const bool late = FuzzClasses()[first.row].id == "answer-late";
        out += fmt::format("  - answer: {{hex: [{}]{}, id: case-{}}}\n", datagrams,
                           late ? fmt::format(", delay: {}", finding.lateMs) : "", first.caseIndex);
        out += fmt::format("  - expect-frame: {{id: frame-{}}}\n", first.caseIndex);
    }
    out += finding.kind == FindingKind::Rule ? "  - expect-no-frame: {malformed: true, id: no-malformed-frame}\n"
                                             : "  - expect-frame: {id: panel-sends-on}\n";
    return out;
}

} // namespace

std::string FindingScenario(const FuzzFinding& finding, std::string_view name)
{
    return finding.side == FuzzSide::Centre ? CentreScenario(finding, name) : PanelScenario(finding, name);
}

Result<std::string> WriteFinding(const std::string& directory, std::size_t number, const FuzzFinding& finding)
{
    const std::string name = fmt::format("finding-{:03}-{}", number, FindingKindKey(finding.kind));
    const std::filesystem::path folder = std::filesystem::path(directory) / name;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        return Failure(fmt::format("cannot make {}: {}", folder.string(), error.message()));
    if (auto json = WriteText(folder / "finding.json", FindingJson(finding) + '\n'); !json)
        return Failure(json.error());
    if (auto capture = WriteCapture(folder / "capture.pcap", finding); !capture)
        return Failure(capture.error());
    if (auto scenario = WriteText(folder / "scenario.yaml", FindingScenario(finding, name)); !scenario)
        return Failure(scenario.error());
    return folder.string();
}

} // namespace veltrano
