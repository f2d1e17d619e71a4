#include "cli/decode.h"

#include "book/event_listing.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/frame_text.h"
#include "link/output_format.h"
#include "protocol/frame_decoder.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <span>
#include <string>

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
    command->callback([format, &chosen] {
        chosen = [format] {
            std::string out;
            AppendEventListing(out, *format);
            std::fwrite(out.data(), 1, out.size(), stdout);
            return EXIT_OK;
        };
    });
}
