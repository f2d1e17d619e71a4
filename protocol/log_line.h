#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veltrano {

// The pieces of a traffic log's text line (link/frame_record.h writes the line).

enum class Direction : std::uint8_t
{
    In,  // received
    Out, // sent
};

// A text as a one-line message shows it: printable ASCII, at most 40 characters, in quotes.
std::string Quoted(std::string_view text);

// ISO 8601 in UTC with microseconds: "2026-12-08T20:48:28.123456Z".
std::string FormatTimestampUtc(std::int64_t timeUs);
// "127.0.0.1:8015" from an IPv4 address and a port in host byte order.
std::string FormatPeer(std::uint32_t address, std::uint16_t port);
// The same texts appended to `out`, for logs that reuse one buffer.
void AppendTimestampUtc(std::string& out, std::int64_t timeUs);
void AppendPeer(std::string& out, std::uint32_t address, std::uint16_t port);

} // namespace veltrano
