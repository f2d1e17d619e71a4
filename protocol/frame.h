#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "protocol/result.h"

namespace veltrano {

// Byte layout of the alarm protocol's frames. A frame is at most 128 bytes; byte 0 is its total length
// in every frame the system builds itself.

inline constexpr std::size_t FRAME_BUFFER_SIZE = 128;
// The largest payload of an IPv4 UDP datagram.
inline constexpr std::size_t MAX_UDP_PAYLOAD = 65507;
using FrameBuffer = std::array<std::uint8_t, FRAME_BUFFER_SIZE>;

// Communicators and devices are numbered 0 to 239; zones 1 to 8 (0: none).
inline constexpr int MAX_ADDRESS_NUMBER = 239;
inline constexpr int MAX_ZONE_NUMBER = 8;
inline constexpr int ADDRESS_NUMBERS = MAX_ADDRESS_NUMBER + 1;

// Frame indices.
inline constexpr std::size_t FRAME_LENGTH = 0;
inline constexpr std::size_t FRAME_COMM_NO = 1;
inline constexpr std::size_t FRAME_DEVICE_NO = 2;
inline constexpr std::size_t FRAME_COMMAND = 6;
inline constexpr std::size_t FRAME_STATUS = 7; // first of the four status bytes

// Command codes.
inline constexpr std::uint8_t CMD_ONLINE = 0x01;
inline constexpr std::uint8_t CMD_STATUS = 0x02;
inline constexpr std::uint8_t CMD_FAULT = 0x03;
inline constexpr std::uint8_t CMD_FAULT_RESTORE = 0x04;
inline constexpr std::uint8_t CMD_DEBUG = 0x3E;
inline constexpr std::uint8_t ACK_FLAG = 0x80;

// Frame lengths.
inline constexpr std::uint8_t STATUS_FRAME_LENGTH = 12;
inline constexpr std::uint8_t ONLINE_FRAME_LENGTH = 8;
inline constexpr std::uint8_t FAULT_FRAME_LENGTH = 9;
inline constexpr std::uint8_t FAULT_RESTORE_FRAME_LENGTH = 8;
inline constexpr std::uint8_t ACK_FRAME_LENGTH = 8;
inline constexpr std::uint8_t DEBUG_FRAME_LENGTH = 18;

// The four status bytes, in frame order (frame indices 7 to 10).
enum StatusByte : std::size_t
{
    ZoneAlarm = 0,
    DeviceFlags = 1,
    ZoneDisarm = 2,
    Spare = 3,
};
using StatusBytes = std::array<std::uint8_t, 4>;

// A device that has not reported yet: disarmed, mains absent.
inline constexpr StatusBytes DEFAULT_STATUS{0x00, 0x11, 0x00, 0x00};

// Zone z (1 to 8) owns bit z-1; both tables are indexed by z-1. They also give the device-flag masks.
inline constexpr std::array<std::uint8_t, 8> ZONE_SET_MASK{0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};
inline constexpr std::array<std::uint8_t, 8> ZONE_CLEAR_MASK{0xFE, 0xFD, 0xFB, 0xF7, 0xEF, 0xDF, 0xBF, 0x7F};

// Sum of bytes 0 to length-2 modulo 256, where length is byte 0. Reads nothing past the span; an empty
// span has no length byte and gives 0.
std::uint8_t FrameChecksum(std::span<const std::uint8_t> frame);

// The display line: " XX" for each of the byte-0 bytes of the frame ("00 " when byte 0 is 0).
// A length beyond the span shows the span's bytes only; an empty span gives an empty line.
std::string FormatFrameHex(std::span<const std::uint8_t> frame);
// The display line of a datagram as a 128-byte buffer holds it: its bytes, then zeros. A byte 0 beyond the
// datagram's size shows those zeros; beyond 128 it shows the buffer's 128 bytes.
std::string FormatDatagramHex(std::span<const std::uint8_t> datagram);
// Every byte of the span, whatever byte 0 says, as "0C 00 01": for machine-readable output.
std::string FormatBytesHex(std::span<const std::uint8_t> bytes);
// The same two lines appended to `out`, which a busy log reuses from line to line.
void AppendDatagramHex(std::string& out, std::span<const std::uint8_t> datagram);
void AppendBytesHex(std::string& out, std::span<const std::uint8_t> bytes);

// Copies a datagram's bytes. Frames are a few bytes long: two overlapping moves copy one, where the string
// instruction the compiler picks for a copy of bounded length costs more than the copy.
inline void CopyFrameBytes(std::uint8_t* out, const std::uint8_t* in, std::size_t size)
{
    if (size > 16) {
        std::memcpy(out, in, size);
    } else if (size >= 8) {
        std::memcpy(out, in, 8);
        std::memcpy(out + size - 8, in + size - 8, 8);
    } else if (size >= 4) {
        std::memcpy(out, in, 4);
        std::memcpy(out + size - 4, in + size - 4, 4);
    } else if (size > 0) {
        out[0] = in[0];
        out[size / 2] = in[size / 2];
        out[size - 1] = in[size - 1];
    }
}

// Two upper-case hex digits, "0F".
void AppendHexByte(std::string& out, std::uint8_t value);
bool IsHexDigit(char c);
std::uint8_t HexDigitValue(char c);


// Hex command text: pairs of hex digits separated by single spaces. Writes into the buffer as it scans and
// gives the complete bytes written from index 0; bytes written before a refusal stay, and a trailing lone
// digit leaves its high nibble after the complete ones.
[[nodiscard]] Result<std::size_t> ParseCommandText(std::string_view text, FrameBuffer& buffer);

} // namespace veltrano
