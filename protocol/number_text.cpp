#include "protocol/number_text.h"

#include <algorithm>
#include <limits>

namespace veltrano {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::size_t SkipBlanks(std::string_view text, std::size_t i)
{
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    return i;
}

} // namespace

SaturatedNumber ParseSaturatingPrefix(std::string_view text)
{
    std::size_t i = SkipBlanks(text, 0);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    const std::size_t digits = i;
    // The magnitude stops one past INT_MAX, which is INT_MIN's.
    constexpr long long LIMIT = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
    long long magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        magnitude = std::min(LIMIT, magnitude * 10 + (text[i] - '0'));
    if (i == digits)
        return {};
    const long long value = negative ? -magnitude : std::min(magnitude, LIMIT - 1);
    return {static_cast<int>(value), i, true};
}

std::optional<int> ParseSaturatingNumber(std::string_view text)
{
    const SaturatedNumber number = ParseSaturatingPrefix(text);
    if (!number.found || SkipBlanks(text, number.end) != text.size())
        return std::nullopt;
    return number.value;
}

} // namespace veltrano
