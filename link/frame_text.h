#pragma once

#include "link/output_format.h"
#include "protocol/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano {

// The text of a decoded frame; as JSON Lines, the frame object every JSON line of the companion uses,
// without time, direction and peer.
enum class DecodeText : std::uint8_t
{
    Fields,  // ASCII, a line per field
    Chinese, // the window's description
};

// A datagram as `decode` shows it: its display line and summary, then its fields; or the display line and
// the window's description; or as JSON Lines the object of type "frame".
void AppendDecodedFrame(std::string& out, std::span<const std::uint8_t> bytes, OutputFormat format,
                        DecodeText text);

// Every text read as hex before any is used: the frames, or the first reason.
[[nodiscard]] Result<std::vector<std::vector<std::uint8_t>>>
ParseHexTexts(std::span<const std::string> texts);

// Lines of hex one after the other, a frame each, counted from 1: blank lines are skipped, and a line's
// newline (LF or CRLF) is not part of it.
class HexLines final
{
public:
    // The line's bytes, none for a blank line, or the reason "line N: ...".
    [[nodiscard]] Result<std::optional<std::vector<std::uint8_t>>> Next(std::string_view line);

private:
    std::size_t m_number{0};
};

} // namespace veltrano
