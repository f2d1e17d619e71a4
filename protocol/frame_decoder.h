#pragma once

#include "protocol/command_table.h"
#include "protocol/frame.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace veltrano {

// What a datagram of the alarm protocol says, field by field, and what is wrong with it. Used by the
// window's list tooltips, the command-line companion's text and JSON output and its `decode` command.

// Something wrong with a frame; a frame can show several.
enum class Finding : std::uint16_t
{
    LengthMismatch = 1U << 0,   // byte 0 differs from the datagram's size
    BadChecksum = 1U << 1,      // the last byte is not the sum of the bytes before it
    ReservedNotZero = 1U << 2,  // bytes 3 to 5
    CommOutOfRange = 1U << 3,   // communicator above 239
    DeviceOutOfRange = 1U << 4, // device above 239
    UnknownCommand = 1U << 5,
    Truncated = 1U << 6, // fewer bytes than the frame's fields need
};

// A small set of findings, kept as bits so that a list line can hold it in two bytes.
class FindingSet final
{
public:
    constexpr FindingSet() = default;
    constexpr explicit FindingSet(std::uint16_t bits) : m_bits(bits) {}

    constexpr bool Has(Finding f) const { return (m_bits & static_cast<std::uint16_t>(f)) != 0; }
    constexpr void Add(Finding f)
    {
        m_bits = static_cast<std::uint16_t>(m_bits | static_cast<std::uint16_t>(f));
    }
    constexpr bool Empty() const { return m_bits == 0; }
    constexpr std::uint16_t Bits() const { return m_bits; }
    friend constexpr bool operator==(FindingSet, FindingSet) = default;

private:
    std::uint16_t m_bits{0};
};

enum class ChecksumState : std::uint8_t
{
    Good,
    Bad,
    None,    // the debug frame carries 0x00 where other frames carry a checksum: not an error
    Missing, // the datagram ends before the checksum's place
};

struct DecodedFrame
{
    std::size_t size{0};            // bytes in the datagram
    std::uint8_t declaredLength{0}; // byte 0
    std::uint8_t comm{0};
    std::uint8_t device{0};
    std::array<std::uint8_t, 3> reserved{};
    std::uint8_t command{0}; // byte 6 as it is
    bool ack{false};         // bit 7 of byte 6
    CommandKind kind{CommandKind::Unknown};
    // The status bytes the frame carries, in StatusBytes order, as far as its declared length reaches
    // (4 for a status frame, 1 for a fault frame, 0 for the 8-byte frames).
    std::uint8_t statusCount{0};
    StatusBytes status{};
    ChecksumState checksum{ChecksumState::Missing};
    std::uint8_t checksumExpected{0};
    std::uint8_t checksumFound{0};
    FindingSet findings;

    // A right checksum, or the debug frame's none.
    bool ChecksumOk() const { return checksum == ChecksumState::Good || checksum == ChecksumState::None; }
};

// Never reads outside the span; bytes the datagram lacks count as absent, not as zero (their fields stay 0
// and add no finding). With L = byte 0 (the declared length) and N = the datagram's size:
// - LengthMismatch: L != N. An empty datagram has no byte 0 and shows Truncated only.
// - CommOutOfRange / DeviceOutOfRange: byte 1 / byte 2 above 239. ReservedNotZero: any of bytes 3 to 5.
// - Under 7 bytes there is no command: kind Unknown, ack false, Truncated, checksum Missing, nothing else
//   looked at beyond the bytes above.
// - kind is byte 6 without bit 7; ack is bit 7. UnknownCommand: no bit 7 and not 0x01-0x04 or 0x3E (an
//   acknowledgement of an unknown code is kind Unknown without that finding).
// - Truncated: N below what the command needs: an acknowledgement 8; online 8, status 12, fault 9,
//   fault restore 8, debug 18; an unknown command 8 (header and checksum).
// - Status bytes: bytes 7 to L-2, at most four, as far as N reaches; none for a debug frame (its payload
//   is padding). The fields are taken for every command, whatever it is.
// - Checksum: when L >= 8 and N >= L, byte L-1 against FrameChecksum (bytes 0 to L-2): Good or Bad (Bad
//   adds BadChecksum); otherwise Missing, with checksumExpected and checksumFound 0. A debug frame (0x3E,
//   no bit 7) whose byte L-1 is 0x00 has None instead; a non-zero byte there is judged as a checksum.
DecodedFrame DecodeFrame(std::span<const std::uint8_t> datagram);

// Names: `key` is ASCII for machine-readable output, `zh` the Simplified Chinese shown in the window;
// both UTF-8.
struct NamedBit
{
    std::uint16_t mask{0};
    std::string_view key;
    std::string_view zh;
};
// "online", "status", "fault", "fault_restore", "debug", "unknown": the command table's key.
constexpr std::string_view CommandKey(CommandKind kind)
{
    return CommandOf(kind).key;
}
constexpr std::string_view CommandNameZh(CommandKind kind)
{
    return CommandOf(kind).zh;
}
// In bit order; keys "length_mismatch", "bad_checksum", "reserved_not_zero", "comm_out_of_range",
// "device_out_of_range", "unknown_command", "truncated".
std::span<const NamedBit> FindingNames();
// Bits 0 to 6 of DeviceFlags; keys "disarmed", "help", "tamper", "battery", "mains_absent", "test_mode",
// "under_voltage".
std::span<const NamedBit> DeviceFlagNames();

// One line in ASCII, as a protocol analyser's summary column would read it; the rule is kept plain so that
// scripts can parse it. Parts, in this order, each starting with a space but the first:
// 1. Under 7 bytes: "Short N bytes" ("Short 1 byte"), then straight to part 5.
// 2. The name: "Online", "Status", "Fault", "Fault restore", "Debug", or "Unknown 0xCC" where CC is byte 6
//    without bit 7 in upper-case hex. An acknowledgement is "ACK " and the name with its first letter in
//    lower case: "ACK status", "ACK fault restore", "ACK unknown 0x0F".
// 3. "comm C dev D", in decimal, always (also for debug frames).
// 4. Status frames only (not their acknowledgements), from the status bytes the frame holds, each part
//    left out when its byte is absent or has no bit set:
//    "alarm: zone 1" / "alarm: zones 1,3" (ZoneAlarm), "disarmed: zone 2" / "disarmed: zones 1,3"
//    (ZoneDisarm), "flags: disarmed,mains_absent" (DeviceFlags bits 0 to 6, DeviceFlagNames keys, bit
//    order). Zones ascend; the Spare byte and DeviceFlags bit 7 are not shown.
// 5. Findings, when there are any: "[key,key]" with FindingNames keys in bit order.
// Examples: "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent", "ACK status comm 0 dev 1",
// "Fault comm 0 dev 1", "Debug comm 0 dev 0", "Unknown 0x0F comm 0 dev 2 [unknown_command]",
// "Online comm 0 dev 1 [bad_checksum]", "Short 0 bytes [truncated]".
std::string SummarizeFrame(const DecodedFrame& frame);
// The same line appended to `out`, for logs that reuse one buffer.
void AppendFrameSummary(std::string& out, const DecodedFrame& frame);
// The names of the bits set, in table order, joined by `separator`; `field` is &NamedBit::key or
// &NamedBit::zh.
void AppendNameList(std::string& out, std::span<const NamedBit> names, std::uint16_t bits,
                    std::string_view NamedBit::*field, std::string_view separator);
// The full decoding in Chinese, one field per line (no trailing newline): for tooltips and saved text.
// Lines, each "label：value", present only when the datagram holds what they show:
//   命令：状态 (0x02)                 (acknowledgement: 命令：状态确认 (0x82); unknown: 未知命令 (0x0F))
//   长度字节：12  数据报：12 字节      (an empty datagram: 数据报：0 字节)
//   通讯机号：0  设备编号：1
//   保留字节：0x00 0x05 0x00           (only when one is not zero)
//   防区报警：1、3 / 无                 (status and fault frames, not their acknowledgements)
//   设备标志：撤防、无交流电 / 无       (status frames)
//   防区撤防：2 / 无                    (status frames)
//   校验和：正确 (0x21) / 错误，应为 0x21，实为 0xFF / 无校验和 / 缺失
//   问题：校验和错误、保留字节不为零    (findings in bit order, when there are any)
std::string DescribeFrameZh(const DecodedFrame& frame);
// The same decoding in the window's language: every fixed Chinese piece of it (labels, "：", "、", the
// names of commands, flags and findings, the checksum's words) passes through `wording`, numbers and hex
// do not. nullptr keeps the Chinese.
using DecodingWording = std::string (*)(std::string_view chinese);
std::string DescribeFrame(const DecodedFrame& frame, DecodingWording wording);

} // namespace veltrano
