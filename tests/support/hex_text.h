#pragma once

#include <QString>

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Frames written as hex in tests: "0C 00 01" (or a display line " 0C 00 01") -> {0x0C, 0x00, 0x01}. Every
// character that is not a hex digit is skipped. The vector is exactly as long as the frame, so that the
// address sanitizer sees a read past it.
std::vector<std::uint8_t> Bytes(std::string_view hex);
std::vector<std::uint8_t> BytesOfLine(const QString& hex);
// {0x0C, 0x00, 0x01} -> "0C 00 01".
std::string Hex(std::span<const std::uint8_t> bytes);

// Text split at each '\n', a line per entry; the text's last line ends with one.
std::vector<std::string> Lines(std::string_view text);

// The key=value fields of the last "summary: ..." line of the companion's text output.
std::map<std::string, std::string> SummaryFields(std::span<const std::string> lines);
