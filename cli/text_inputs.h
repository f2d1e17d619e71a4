#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The companion's text inputs other than HOST:PORT (net/host_port.h): each gives its value or a one-line
// reason, never throws and reads nothing outside the text.

// An event of the catalogue by its index (0 to 22) or its ASCII key ("zone-alarm").
std::variant<int, std::string> ParseEventName(std::string_view text);

// The bytes of a frame written as hex: pairs of digits, either case, separated by runs of blanks or not at
// all (" 0C 00 01", "0c 00 01", "0c0001"); leading and trailing blanks are ignored. At most the largest
// UDP datagram; an empty line is no frame.
std::variant<std::vector<std::uint8_t>, std::string> ParseHexLine(std::string_view text);

// A frame rate: a positive number of frames per second up to MAX_RATE, or "max" (none: as fast as the
// acknowledgements allow).
inline constexpr double MAX_RATE = 1'000'000;
std::variant<std::optional<double>, std::string> ParseRate(std::string_view text);
