#include "cli/decode.h"

#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/frame_text.h"
#include "link/json_line.h"
#include "link/output_format.h"
#include "protocol/frame_decoder.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <variant>

using namespace veltrano;

namespace {

void Print(std::span<const std::uint8_t> bytes, veltrano::OutputFormat format, veltrano::DecodeText text)
{
    std::string out;
    veltrano::AppendDecodedFrame(out, bytes, format, text);
    std::fwrite(out.data(), 1, out.size(), stdout);
}

// The next line of `in` whatever its length, its newline kept; false at the end.
bool ReadLine(std::FILE* in, std::string& line)
{
    line.clear();
    char chunk[4096];
    while (std::fgets(chunk, sizeof chunk, in) != nullptr) {
        line += chunk;
        if (!line.empty() && line.back() == '\n')
            return true;
    }
    return !line.empty();
}

int RunDecode(std::span<const std::string> texts, veltrano::OutputFormat format, veltrano::DecodeText text,
              std::FILE* in)
{
    if (!texts.empty()) {
        const auto frames = veltrano::ParseHexTexts(texts);
        if (!frames)
            return UsageError("decode: " + frames.error());
        for (const auto& frame : *frames)
            Print(frame, format, text);
        return EXIT_OK;
    }
    veltrano::HexLines lines;
    for (std::string line; ReadLine(in, line);) {
        const auto frame = lines.Next(line);
        if (!frame) {
            std::fflush(stdout);
            return UsageError("decode: " + frame.error());
        }
        if (*frame)
            Print(**frame, format, text);
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

} // namespace

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
            const auto text =
                arguments->chinese ? veltrano::DecodeText::Chinese : veltrano::DecodeText::Fields;
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
