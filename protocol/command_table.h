#pragma once

#include "protocol/frame.h"
#include "protocol/translatable.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace veltrano {

// The command without its acknowledgement bit.
enum class CommandKind : std::uint8_t
{
    Online,
    Status,
    Fault,
    FaultRestore,
    Debug,
    Unknown,
};

// What the protocol says of each command, written once: the decoder, the records' keys, the summaries and
// the decoding in the window's language read it.
struct CommandRow
{
    CommandKind kind{CommandKind::Unknown};
    std::uint8_t code{0};  // byte 6 without the acknowledgement bit
    std::string_view name; // the summary's name, "Fault restore"
    std::string_view key;  // ASCII for machine-readable output, "fault_restore"
    // Bytes the frame's fields need; an unknown command at least a header and a checksum.
    std::uint8_t length{0};
    // Status bytes whose meaning the command gives (4 for a status frame, the zone alarm byte of a fault).
    std::uint8_t payload{0};
    std::string_view zh; // the decoding's name in Simplified Chinese (UTF-8), translated by the window
};

// In CommandKind order; the unknown command is the last row.
inline constexpr std::array<CommandRow, 6> COMMAND_TABLE{{
    {CommandKind::Online, CMD_ONLINE, "Online", "online", ONLINE_FRAME_LENGTH, 0,
     VELTRANO_TEXT("FrameDecoding", "设备在线")},
    {CommandKind::Status, CMD_STATUS, "Status", "status", STATUS_FRAME_LENGTH, 4,
     VELTRANO_TEXT("FrameDecoding", "状态")},
    {CommandKind::Fault, CMD_FAULT, "Fault", "fault", FAULT_FRAME_LENGTH, 1,
     VELTRANO_TEXT("FrameDecoding", "故障")},
    {CommandKind::FaultRestore, CMD_FAULT_RESTORE, "Fault restore", "fault_restore",
     FAULT_RESTORE_FRAME_LENGTH, 0, VELTRANO_TEXT("FrameDecoding", "故障恢复")},
    {CommandKind::Debug, CMD_DEBUG, "Debug", "debug", DEBUG_FRAME_LENGTH, 0,
     VELTRANO_TEXT("FrameDecoding", "调试")},
    {CommandKind::Unknown, 0, "Unknown", "unknown", ACK_FRAME_LENGTH, 0,
     VELTRANO_TEXT("FrameDecoding", "未知命令")},
}};

constexpr const CommandRow& CommandOf(CommandKind kind)
{
    const auto index = static_cast<std::size_t>(kind);
    return COMMAND_TABLE[index < COMMAND_TABLE.size() ? index : COMMAND_TABLE.size() - 1];
}

// The table's reader: the row of byte 6 as a frame carries it, acknowledgement bit or not.
constexpr const CommandRow& CommandOfByte(std::uint8_t command)
{
    const auto code = static_cast<std::uint8_t>(command & ~ACK_FLAG);
    for (std::size_t i = 0; i + 1 < COMMAND_TABLE.size(); ++i) {
        if (COMMAND_TABLE[i].code == code)
            return COMMAND_TABLE[i];
    }
    return COMMAND_TABLE.back();
}

static_assert([] {
    for (std::size_t i = 0; i < COMMAND_TABLE.size(); ++i) {
        if (static_cast<std::size_t>(COMMAND_TABLE[i].kind) != i)
            return false;
    }
    return true;
}());

} // namespace veltrano
