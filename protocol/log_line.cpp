#include "protocol/log_line.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace veltrano {

namespace {

// Decimal digits of a value below 1000, without leading zeros.
void AppendSmall(std::string& out, unsigned value)
{
    if (value >= 100)
        out += static_cast<char>('0' + value / 100);
    if (value >= 10)
        out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

} // namespace

std::string Quoted(std::string_view text)
{
    constexpr std::size_t SHOWN = 40;
    std::string shown;
    for (const char c : text.substr(0, SHOWN))
        shown += (c >= 0x20 && c < 0x7F) ? c : '?';
    return '"' + shown + (text.size() > SHOWN ? "...\"" : "\"");
}

void AppendTimestampUtc(std::string& out, std::int64_t timeUs)
{
    const std::int64_t seconds = timeUs >= 0 ? timeUs / 1'000'000 : (timeUs - 999'999) / 1'000'000;
    auto micros = static_cast<long>(timeUs - seconds * 1'000'000);
    // A busy log stamps many lines within one second: the calendar part is worked out once per second.
    thread_local std::int64_t cachedSecond = -1;
    thread_local char cachedText[32] = {};
    thread_local int cachedLength = 0;
    if (seconds != cachedSecond || cachedLength <= 0) {
        const auto time = static_cast<std::time_t>(seconds);
        std::tm parts{};
        ::gmtime_r(&time, &parts);
        cachedLength = std::snprintf(cachedText, sizeof cachedText, "%04d-%02d-%02dT%02d:%02d:%02d.",
                                     parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                                     parts.tm_min, parts.tm_sec);
        cachedSecond = seconds;
    }
    out.append(cachedText, static_cast<std::size_t>(std::max(cachedLength, 0)));
    char digits[7] = "000000";
    for (int i = 5; i >= 0; --i, micros /= 10)
        digits[i] = static_cast<char>('0' + micros % 10);
    out.append(digits, 6);
    out += 'Z';
}

std::string FormatTimestampUtc(std::int64_t timeUs)
{
    std::string text;
    AppendTimestampUtc(text, timeUs);
    return text;
}

void AppendPeer(std::string& out, std::uint32_t address, std::uint16_t port)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        AppendSmall(out, (address >> shift) & 0xFF);
        out += shift == 0 ? ':' : '.';
    }
    char digits[6];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + port % 10);
        port = static_cast<std::uint16_t>(port / 10);
    } while (port != 0);
    while (count > 0)
        out += digits[--count];
}

std::string FormatPeer(std::uint32_t address, std::uint16_t port)
{
    std::string text;
    AppendPeer(text, address, port);
    return text;
}

} // namespace veltrano
