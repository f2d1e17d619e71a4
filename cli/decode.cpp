#include "cli/decode.h"

#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/frame_record.h"
#include "link/json_line.h"
#include "protocol/frame_decoder.h"
#include "protocol/hex.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <iterator>

#include <memory>
#include <variant>

using namespace veltrano;

namespace {

void AppendNames(std::string& out, std::span<const NamedBit> names, std::uint16_t bits)
{
    const std::size_t before = out.size();
    AppendNameList(out, names, bits, &NamedBit::key, ",");
    if (out.size() == before)
        out += "none";
}

void AppendFields(std::string& out, std::span<const std::uint8_t> bytes)
{
    const DecodedFrame f = DecodeFrame(bytes);
    const auto o = std::back_inserter(out);
    AppendDatagramHex(out, bytes);
    out += " | ";
    AppendFrameSummary(out, f);
    fmt::format_to(o, "\n  length byte {}, datagram {} bytes\n", f.declaredLength, f.size);
    fmt::format_to(o, "  comm {}, device {}, reserved ", f.comm, f.device);
    AppendBytesHex(out, f.reserved);
    out += '\n';
    fmt::format_to(o, "  command 0x{:02X} {}{}\n", f.command, f.ack ? "ack " : "", CommandKey(f.kind));
    if (f.statusCount > 0) {
        out += "  status ";
        AppendBytesHex(out, std::span(f.status).first(f.statusCount));
        if (f.statusCount > DeviceFlags) {
            out += ", flags ";
            AppendNames(out, DeviceFlagNames(), f.status[DeviceFlags]);
        }
        out += '\n';
    }
    fmt::format_to(o, "  checksum {}", ChecksumKey(f.checksum));
    if (f.checksum == ChecksumState::Good || f.checksum == ChecksumState::Bad)
        fmt::format_to(o, " (expected 0x{:02X}, found 0x{:02X})", f.checksumExpected, f.checksumFound);
    out += "\n  findings ";
    AppendNames(out, FindingNames(), f.findings.Bits());
    out += '\n';
}

void Print(std::span<const std::uint8_t> bytes, veltrano::OutputFormat format, DecodeText text)
{
    std::string out;
    if (format == veltrano::OutputFormat::JsonLines) {
        JsonLine line(out);
        line.Text("type", "frame");
        AppendFrameFields(line, bytes, DecodeFrame(bytes));
        line.End();
    } else if (text == DecodeText::Chinese) {
        fmt::format_to(std::back_inserter(out), "{}\n{}\n", FormatDatagramHex(bytes),
                       DescribeFrameZh(DecodeFrame(bytes)));
    } else {
        AppendFields(out, bytes);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
}

} // namespace

int RunDecode(std::span<const std::string> texts, veltrano::OutputFormat format, DecodeText text,
              std::FILE* in)
{
    if (!texts.empty()) {
        std::vector<std::vector<std::uint8_t>> frames;
        for (const std::string& text : texts) {
            auto parsed = ParseHexBytes(text);
            if (!parsed)
                return UsageError("decode: " + parsed.error());
            frames.push_back(std::move(*parsed));
        }
        for (const auto& frame : frames)
            Print(frame, format, text);
        return EXIT_OK;
    }
    std::string line;
    std::size_t number = 0;
    char chunk[4096];
    bool more = true;
    while (more) {
        line.clear();
        // A line of any length, with or without its newline.
        for (;;) {
            if (std::fgets(chunk, sizeof chunk, in) == nullptr) {
                more = false;
                break;
            }
            line += chunk;
            if (!line.empty() && line.back() == '\n')
                break;
        }
        ++number;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        auto parsed = ParseHexBytes(line);
        if (!parsed) {
            std::fflush(stdout);
            return UsageError("decode: line " + std::to_string(number) + ": " + parsed.error());
        }
        Print(*parsed, format, text);
    }
    return EXIT_OK;
}

int RunEvents(veltrano::OutputFormat format)
{
    std::string out;
    const auto o = std::back_inserter(out);
    for (int index = 0; index < EVENT_TYPE_COUNT; ++index) {
        const EventRow& row = *FindEventRow(index);
        // The kind as the decoder reads the frame the builder makes.
        const auto built = BuildEvent(index, DEFAULT_STATUS, 0, 0, 1);
        const std::string_view kind = CommandKey(DecodeFrame(std::get<BuiltEvent>(built).Frame()).kind);
        if (format == veltrano::OutputFormat::JsonLines)
            JsonLine(out)
                .Text("type", "event")
                .Number("index", index)
                .Text("key", row.key)
                .Text("name", row.name)
                .Text("kind", kind)
                .Number("length", row.length)
                .Bool("zone", row.NeedsZone())
                .End();
        else
            fmt::format_to(o, "{:2}  {:<22} {:<8} {:>2} bytes{}  {}\n", index, row.key, kind, row.length,
                           row.NeedsZone() ? ", zone" : "      ", row.name);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return EXIT_OK;
}

void AddDecodeCommand(CLI::App& app, CommandRunner& chosen)
{
    struct Arguments
    {
        std::vector<std::string> texts;
        veltrano::OutputFormat format{veltrano::OutputFormat::Text};
        bool chinese{false};
    };
    auto arguments = std::make_shared<Arguments>();
    auto* command = app.add_subcommand("decode", "Decode frames given as hex, or one per line on stdin");
    command->add_option("HEX", arguments->texts, "\" 0C 00 01 ...\", \"0c 00 01 ...\" or \"0c0001...\"");
    AddFormatFlag(command, arguments->format, "One JSON object per frame");
    command->add_flag("--zh", arguments->chinese, "The window's description in Chinese");
    command->callback([arguments, &chosen] {
        chosen = [arguments] {
            const DecodeText text = arguments->chinese ? DecodeText::Chinese : DecodeText::Fields;
            return RunDecode(arguments->texts, arguments->format, text, stdin);
        };
    });
}

void AddEventsCommand(CLI::App& app, CommandRunner& chosen)
{
    auto format = std::make_shared<veltrano::OutputFormat>(veltrano::OutputFormat::Text);
    auto* command = app.add_subcommand("events", "List the events: index, key, frame kind, name");
    AddFormatFlag(command, *format, "One JSON object per event");
    command->callback([format, &chosen] { chosen = [format] { return RunEvents(*format); }; });
}
