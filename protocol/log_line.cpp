#include "protocol/log_line.h"

#include "protocol/frame.h"
#include "protocol/frame_decoder.h"

#include <cstdio>
#include <cstring>
#include <ctime>

std::string FormatTimestampUtc(std::int64_t timeUs)
{
    const std::int64_t seconds = timeUs >= 0 ? timeUs / 1'000'000 : (timeUs - 999'999) / 1'000'000;
    const auto micros = static_cast<long>(timeUs - seconds * 1'000'000);
    const auto time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    ::gmtime_r(&time, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, micros);
    return text;
}

std::string FormatPeer(std::uint32_t address, std::uint16_t port)
{
    char text[24];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", address >> 24, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF, unsigned{port});
    return text;
}

std::string FormatLogLine(std::int64_t timeUs, Direction direction, std::uint32_t address, std::uint16_t port,
                          std::span<const std::uint8_t> bytes, int sendError)
{
    std::string line = FormatTimestampUtc(timeUs);
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
