#pragma once

#include <charconv>
#include <cstddef>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace veltrano {

// The whole text as a number of T: digits in `base` (a leading '-' for a signed or floating T), nothing
// before or after them. None for an empty text, any other character, or a number T cannot hold.
template <typename T>
std::optional<T> ParseNumber(std::string_view text, int base = 10)
{
    static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>);
    T value{};
    const char* const end = text.data() + text.size();
    std::from_chars_result result{};
    if constexpr (std::is_floating_point_v<T>)
        result = std::from_chars(text.data(), end, value);
    else
        result = std::from_chars(text.data(), end, value, base);
    if (text.empty() || result.ec != std::errc() || result.ptr != end)
        return std::nullopt;
    return value;
}

// The saturating form, as the C runtime reads an int: blanks (space, tab to carriage return), an optional
// sign and decimal digits from the start of the text; a number beyond int is its nearest end.
struct SaturatedNumber
{
    int value{0};
    std::size_t end{0}; // just past the digits
    bool found{false};  // there was at least one digit
};
SaturatedNumber ParseSaturatingPrefix(std::string_view text);

// The whole text as a saturating decimal int: blanks, the number as ParseSaturatingPrefix reads it, blanks.
std::optional<int> ParseSaturatingNumber(std::string_view text);

} // namespace veltrano
