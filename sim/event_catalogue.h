#pragma once

#include "protocol/frame.h"
#include "protocol/translatable.h"

#include <array>
#include <cstdint>

namespace veltrano {

inline constexpr int EVENT_TYPE_COUNT = 23;

// What an event does to the status bytes of its device.
enum class StatusChange : std::uint8_t
{
    None,
    SetZoneBit, // bit of the form's zone in the row's byte
    ClearZoneBit,
    SetFlags,     // DeviceFlags OR mask
    ClearFlags,   // DeviceFlags AND mask
    ArmDevice,    // DeviceFlags AND 0xFE, every zone armed
    DisarmDevice, // DeviceFlags OR 0x01, every zone disarmed
};

struct EventRow
{
    const char* name{""}; // UTF-8, as the event list shows it
    const char* key{""};  // ASCII, for command lines and scripts
    std::uint8_t length{STATUS_FRAME_LENGTH};
    std::uint8_t command{CMD_STATUS};
    StatusChange change{StatusChange::None};
    StatusByte target{DeviceFlags}; // the byte of the zone-bit changes
    std::uint8_t mask{0};           // SetFlags and ClearFlags

    constexpr bool NeedsZone() const
    {
        return change == StatusChange::SetZoneBit || change == StatusChange::ClearZoneBit;
    }
};

// Row index = position in the event list = the value the builder dispatches on.
// clang-format off
inline constexpr std::array<EventRow, EVENT_TYPE_COUNT> EVENT_CATALOGUE{{
    {VELTRANO_TEXT("EventCatalogue", "设备在线命令"), "online", ONLINE_FRAME_LENGTH, CMD_ONLINE},
    {VELTRANO_TEXT("EventCatalogue", "防区布防"), "zone-arm", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::ClearZoneBit, ZoneDisarm},
    {VELTRANO_TEXT("EventCatalogue", "防区撤防"), "zone-disarm", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::SetZoneBit, ZoneDisarm},
    {VELTRANO_TEXT("EventCatalogue", "防区报警"), "zone-alarm", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::SetZoneBit, ZoneAlarm},
    {VELTRANO_TEXT("EventCatalogue", "防区报警恢复"), "zone-alarm-restore", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::ClearZoneBit,
     ZoneAlarm},
    {VELTRANO_TEXT("EventCatalogue", "设备布防"), "device-arm", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::ArmDevice},
    {VELTRANO_TEXT("EventCatalogue", "设备撤防"), "device-disarm", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::DisarmDevice},
    {VELTRANO_TEXT("EventCatalogue", "设备故障"), "fault", FAULT_FRAME_LENGTH, CMD_FAULT},
    {VELTRANO_TEXT("EventCatalogue", "设备故障恢复"), "fault-restore", FAULT_RESTORE_FRAME_LENGTH, CMD_FAULT_RESTORE},
    {VELTRANO_TEXT("EventCatalogue", "紧急求助"), "help", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::SetFlags, DeviceFlags, 0x02},
    {VELTRANO_TEXT("EventCatalogue", "紧急求助恢复"), "help-restore", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::ClearFlags, DeviceFlags,
     0xFD},
    {VELTRANO_TEXT("EventCatalogue", "被撬"), "tamper", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::SetFlags, DeviceFlags, 0x04},
    {VELTRANO_TEXT("EventCatalogue", "被撬恢复"), "tamper-restore", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::ClearFlags, DeviceFlags,
     0xFB},
    {VELTRANO_TEXT("EventCatalogue", "欠压"), "under-voltage", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::SetFlags, DeviceFlags, 0x40},
    {VELTRANO_TEXT("EventCatalogue", "欠压恢复"), "under-voltage-restore", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::ClearFlags,
     DeviceFlags, 0xBF},
    {VELTRANO_TEXT("EventCatalogue", "电池异常"), "battery", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::SetFlags, DeviceFlags, 0x08},
    {VELTRANO_TEXT("EventCatalogue", "电池异常恢复"), "battery-restore", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::ClearFlags,
     DeviceFlags, 0xF7},
    {VELTRANO_TEXT("EventCatalogue", "有ac"), "mains-present", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::ClearFlags, DeviceFlags, 0xEF},
    {VELTRANO_TEXT("EventCatalogue", "无ac"), "mains-absent", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::SetFlags, DeviceFlags, 0x10},
    {VELTRANO_TEXT("EventCatalogue", "测试模式"), "test-mode", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::SetFlags, DeviceFlags, 0x20},
    {VELTRANO_TEXT("EventCatalogue", "工作模式"), "work-mode", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::ClearFlags, DeviceFlags, 0xDF},
    {VELTRANO_TEXT("EventCatalogue", "触发"), "trigger", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::SetZoneBit, ZoneDisarm},
    {VELTRANO_TEXT("EventCatalogue", "触发恢复"), "trigger-restore", STATUS_FRAME_LENGTH, CMD_STATUS, StatusChange::ClearZoneBit, ZoneDisarm},
}};
// clang-format on

// The row of an index, or none outside 0 to 22.
constexpr const EventRow* FindEventRow(int index)
{
    return index >= 0 && index < EVENT_TYPE_COUNT ? &EVENT_CATALOGUE[static_cast<std::size_t>(index)]
                                                  : nullptr;
}

} // namespace veltrano
