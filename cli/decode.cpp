#include "cli/decode.h"

#include "cli/options.h"
#include "cli/output.h"
#include "cli/text_inputs.h"
#include "protocol/frame_decoder.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"

#include <fmt/format.h>

#include <iterator>
#include <variant>

namespace {

void AppendNames(fmt::memory_buffer& out, std::span<const NamedBit> names, std::uint16_t bits)
{
    bool first = true;
    for (const NamedBit& name : names) {
        if ((bits & name.mask) == 0)
            continue;
        fmt::format_to(std::back_inserter(out), "{}{}", first ? "" : ",", name.key);
        first = false;
    }
    if (first)
        out.append(std::string_view("none"));
}

std::string_view ChecksumKey(ChecksumState state)
{
    switch (state) {
    case ChecksumState::Good:
        return "good";
    case ChecksumState::Bad:
        return "bad";
    case ChecksumState::None:
        return "none";
    case ChecksumState::Missing:
        break;
    }
    return "missing";
}

void AppendFields(fmt::memory_buffer& out, std::span<const std::uint8_t> bytes)
{
    const DecodedFrame f = DecodeFrame(bytes);
    const auto o = std::back_inserter(out);
    fmt::format_to(o, "{} | {}\n", FormatDatagramHex(bytes), SummarizeFrame(f));
    fmt::format_to(o, "  length byte {}, datagram {} bytes\n", f.declaredLength, f.size);
    fmt::format_to(o, "  comm {}, device {}, reserved {:02X} {:02X} {:02X}\n", f.comm, f.device,
                   f.reserved[0], f.reserved[1], f.reserved[2]);
    fmt::format_to(o, "  command 0x{:02X} {}{}\n", f.command, f.ack ? "ack " : "", CommandKey(f.kind));
    if (f.statusCount > 0) {
        out.append(std::string_view("  status"));
        for (std::size_t i = 0; i < f.statusCount; ++i)
            fmt::format_to(o, " {:02X}", f.status[i]);
        if (f.statusCount > DeviceFlags) {
            out.append(std::string_view(", flags "));
            AppendNames(out, DeviceFlagNames(), f.status[DeviceFlags]);
        }
        out.push_back('\n');
    }
    fmt::format_to(o, "  checksum {}", ChecksumKey(f.checksum));
    if (f.checksum == ChecksumState::Good || f.checksum == ChecksumState::Bad)
        fmt::format_to(o, " (expected 0x{:02X}, found 0x{:02X})", f.checksumExpected, f.checksumFound);
    out.append(std::string_view("\n  findings "));
    AppendNames(out, FindingNames(), f.findings.Bits());
    out.push_back('\n');
}

void AppendJson(fmt::memory_buffer& out, std::span<const std::uint8_t> bytes)
{
    const DecodedFrame f = DecodeFrame(bytes);
    const auto o = std::back_inserter(out);
    fmt::format_to(
        o, R"({{"len":{},"hex":"{}","declared_length":{},"comm":{},"dev":{},"cmd":{},"kind":"{}",)", f.size,
        FormatBytesHex(bytes), f.declaredLength, f.comm, f.device, f.command, CommandKey(f.kind));
    fmt::format_to(o, R"("ack":{},"status":[{}],"checksum":"{}","checksum_ok":{},"findings":[)", f.ack,
                   fmt::join(std::span(f.status).first(f.statusCount), ","), ChecksumKey(f.checksum),
                   f.ChecksumOk());
    bool first = true;
    for (const NamedBit& name : FindingNames()) {
        if ((f.findings.Bits() & name.mask) != 0) {
            fmt::format_to(o, R"({}"{}")", first ? "" : ",", name.key);
            first = false;
        }
    }
    out.append(std::string_view(R"(],"summary":")"));
    AppendJsonEscaped(out, SummarizeFrame(f));
    out.append(std::string_view("\"}\n"));
}

void Print(std::span<const std::uint8_t> bytes, DecodeStyle style)
{
    fmt::memory_buffer out;
    switch (style) {
    case DecodeStyle::Fields:
        AppendFields(out, bytes);
        break;
    case DecodeStyle::Chinese:
        fmt::format_to(std::back_inserter(out), "{}\n{}\n", FormatDatagramHex(bytes),
                       DescribeFrameZh(DecodeFrame(bytes)));
        break;
    case DecodeStyle::Jsonl:
        AppendJson(out, bytes);
        break;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
}

} // namespace

int RunDecode(std::span<const std::string> texts, DecodeStyle style, std::FILE* in)
{
    if (!texts.empty()) {
        std::vector<std::vector<std::uint8_t>> frames;
        for (const std::string& text : texts) {
            auto parsed = ParseHexLine(text);
            if (auto* reason = std::get_if<std::string>(&parsed)) {
                std::fprintf(stderr, "veltrano-cli: decode: %s\n", reason->c_str());
                return EXIT_USAGE;
            }
            frames.push_back(std::move(std::get<std::vector<std::uint8_t>>(parsed)));
        }
        for (const auto& frame : frames)
            Print(frame, style);
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
        auto parsed = ParseHexLine(line);
        if (auto* reason = std::get_if<std::string>(&parsed)) {
            std::fflush(stdout);
            std::fprintf(stderr, "veltrano-cli: decode: line %zu: %s\n", number, reason->c_str());
            return EXIT_USAGE;
        }
        Print(std::get<std::vector<std::uint8_t>>(parsed), style);
    }
    return EXIT_OK;
}

int RunEvents(bool jsonl)
{
    fmt::memory_buffer out;
    const auto o = std::back_inserter(out);
    for (int index = 0; index < EVENT_TYPE_COUNT; ++index) {
        const EventRow& row = *FindEventRow(index);
        // The kind as the decoder reads the frame the builder makes.
        const auto built = BuildEvent(index, DEFAULT_STATUS, 0, 0, 1);
        const std::string_view kind = CommandKey(DecodeFrame(std::get<BuiltEvent>(built).Frame()).kind);
        if (jsonl)
            fmt::format_to(o,
                           R"({{"index":{},"key":"{}","name":"{}","kind":"{}","length":{},"zone":{}}})"
                           "\n",
                           index, row.key, row.name, kind, row.length, row.NeedsZone());
        else
            fmt::format_to(o, "{:2}  {:<22} {:<8} {:>2} bytes{}  {}\n", index, row.key, kind, row.length,
                           row.NeedsZone() ? ", zone" : "      ", row.name);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return EXIT_OK;
}
