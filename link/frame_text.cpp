#include "link/frame_text.h"

#include "link/frame_record.h"
#include "link/json_line.h"
#include "protocol/frame_decoder.h"
#include "protocol/hex.h"

#include <fmt/format.h>

#include <iterator>

namespace veltrano {

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

} // namespace

void AppendDecodedFrame(std::string& out, std::span<const std::uint8_t> bytes, OutputFormat format,
                        DecodeText text)
{
    if (format == OutputFormat::JsonLines) {
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
}

Result<std::vector<std::vector<std::uint8_t>>> ParseHexTexts(std::span<const std::string> texts)
{
    std::vector<std::vector<std::uint8_t>> frames;
    for (const std::string& text : texts) {
        auto parsed = ParseHexBytes(text);
        if (!parsed)
            return Failure(parsed.error());
        frames.push_back(std::move(*parsed));
    }
    return frames;
}

Result<std::optional<std::vector<std::uint8_t>>> HexLines::Next(std::string_view line)
{
    ++m_number;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos)
        return std::optional<std::vector<std::uint8_t>>();
    auto parsed = ParseHexBytes(line);
    if (!parsed)
        return Failure("line " + std::to_string(m_number) + ": " + parsed.error());
    return std::optional(std::move(*parsed));
}

} // namespace veltrano
