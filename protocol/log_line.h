#pragma once

#include <cstdint>
#include <span>
#include <string>

// One frame of a traffic log as text: what the companion prints and what the window saves.

enum class Direction : std::uint8_t
{
    In,  // received
    Out, // sent
};

// ISO 8601 in UTC with microseconds: "2026-12-08T20:48:28.123456Z".
std::string FormatTimestampUtc(std::int64_t timeUs);
// "127.0.0.1:8015" from an IPv4 address and a port in host byte order.
std::string FormatPeer(std::uint32_t address, std::uint16_t port);

// "<time> <in|out> <peer> <display line> | <summary>", the display line with its leading space as the
// lists show it, the summary as SummarizeFrame gives it; a send that failed ends in
// " (send failed: <the system's reason>)".
std::string FormatLogLine(std::int64_t timeUs, Direction direction, std::uint32_t address, std::uint16_t port,
                          std::span<const std::uint8_t> bytes, int sendError = 0);
