#include "cli/text_inputs.h"

#include "protocol/frame.h"
#include "sim/event_catalogue.h"

#include <charconv>
#include <cmath>

namespace {

constexpr std::size_t MAX_DATAGRAM = 65507;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Quoted(std::string_view text)
{
    constexpr std::size_t SHOWN = 40;
    std::string shown;
    for (const char c : text.substr(0, SHOWN))
        shown += (c >= 0x20 && c < 0x7F) ? c : '?';
    return '"' + shown + (text.size() > SHOWN ? "...\"" : "\"");
}

} // namespace

std::variant<int, std::string> ParseEventName(std::string_view text)
{
    int index = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (!text.empty() && error == std::errc() && end == text.data() + text.size()) {
        if (FindEventRow(index) != nullptr)
            return index;
        return "event index " + Quoted(text) + " is not 0 to " + std::to_string(EVENT_TYPE_COUNT - 1);
    }
    for (std::size_t i = 0; i < EVENT_CATALOGUE.size(); ++i) {
        if (text == EVENT_CATALOGUE[i].key)
            return static_cast<int>(i);
    }
    return "unknown event " + Quoted(text) + " (see `veltrano-cli events`)";
}

std::variant<std::vector<std::uint8_t>, std::string> ParseHexLine(std::string_view text)
{
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (IsBlank(text[i])) {
            ++i;
            continue;
        }
        if (!IsHexDigit(text[i]))
            return "not a hex digit at column " + std::to_string(i + 1) + " of " + Quoted(text);
        if (i + 1 >= text.size() || !IsHexDigit(text[i + 1]))
            return "odd hex digit at column " + std::to_string(i + 1) + " of " + Quoted(text);
        if (bytes.size() == MAX_DATAGRAM)
            return "more than " + std::to_string(MAX_DATAGRAM) + " bytes";
        bytes.push_back(static_cast<std::uint8_t>(HexDigitValue(text[i]) << 4 | HexDigitValue(text[i + 1])));
        i += 2;
    }
    if (bytes.empty())
        return std::string("no bytes");
    return bytes;
}

std::variant<std::optional<double>, std::string> ParseRate(std::string_view text)
{
    if (text == "max")
        return std::optional<double>();
    double rate = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), rate);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(rate) ||
        rate <= 0 || rate > MAX_RATE)
        return "rate " + Quoted(text) +
               " is not \"max\" or a number of frames per second above 0 and up to " +
               std::to_string(static_cast<long>(MAX_RATE));
    return std::optional(rate);
}
