#include "protocol/log_line.h"

#include "protocol/frame.h"
#include "protocol/frame_decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

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

std::string FormatTimestampUtc(std::int64_t timeUs)
{
    const std::int64_t seconds = timeUs >= 0 ? timeUs / 1'000'000 : (timeUs - 999'999) / 1'000'000;
    auto micros = static_cast<long>(timeUs - seconds * 1'000'000);
    // A busy log stamps many lines within one second: the calendar part is worked out once per second.
    thread_local std::int64_t cachedSecond = -1;
    thread_local std::string cachedText;
    if (seconds != cachedSecond || cachedText.empty()) {
        const auto time = static_cast<std::time_t>(seconds);
        std::tm parts{};
        ::gmtime_r(&time, &parts);
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.", parts.tm_year + 1900,
                      parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
        cachedSecond = seconds;
        cachedText = text;
    }
    std::string result = cachedText;
    char digits[7] = "000000";
    for (int i = 5; i >= 0; --i, micros /= 10)
        digits[i] = static_cast<char>('0' + micros % 10);
    result.append(digits, 6);
    result += 'Z';
    return result;
}

std::string FormatPeer(std::uint32_t address, std::uint16_t port)
{
    std::string text;
    text.reserve(21);
    for (int shift = 24; shift >= 0; shift -= 8) {
        AppendSmall(text, (address >> shift) & 0xFF);
        text += shift == 0 ? ':' : '.';
    }
    const std::string digits = std::to_string(port);
    text += digits;
    return text;
}

std::string FormatLogLine(std::int64_t timeUs, Direction direction, std::uint32_t address, std::uint16_t port,
                          std::span<const std::uint8_t> bytes, int sendError)
{
    // Room for the whole line at once: a busy log writes many.
    std::string line;
    line.reserve(96 + 3 * std::min<std::size_t>(bytes.size(), FRAME_BUFFER_SIZE));
    line += FormatTimestampUtc(timeUs);
    line += direction == Direction::In ? " in " : " out ";
    line += FormatPeer(address, port);
    line += ' ';
    line += FormatDatagramHex(bytes);
    line += " | ";
    line += SummarizeFrame(DecodeFrame(bytes));
    if (sendError != 0) {
        line += " (send failed: ";
        line += std::strerror(sendError);
        line += ')';
    }
    return line;
}
