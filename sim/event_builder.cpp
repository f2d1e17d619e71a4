#include "sim/event_builder.h"

#include "sim/event_catalogue.h"

#include <algorithm>

namespace veltrano {

namespace {

void ApplyStatusChange(const EventRow& row, std::size_t zoneIndex, StatusBytes& status)
{
    switch (row.change) {
    case StatusChange::None:
        break;
    case StatusChange::SetZoneBit:
        status[row.target] |= ZONE_SET_MASK[zoneIndex];
        break;
    case StatusChange::ClearZoneBit:
        status[row.target] &= ZONE_CLEAR_MASK[zoneIndex];
        break;
    case StatusChange::SetFlags:
        status[DeviceFlags] |= row.mask;
        break;
    case StatusChange::ClearFlags:
        status[DeviceFlags] &= row.mask;
        break;
    case StatusChange::ArmDevice:
        status[DeviceFlags] &= ZONE_CLEAR_MASK[0];
        status[ZoneDisarm] = 0x00;
        break;
    case StatusChange::DisarmDevice:
        status[DeviceFlags] |= ZONE_SET_MASK[0];
        status[ZoneDisarm] = 0xFF;
        break;
    }
}

} // namespace

std::variant<BuiltEvent, EventRefusal> BuildEvent(std::optional<int> row, const StatusBytes& stored,
                                                  std::uint8_t commNo, std::uint8_t deviceNo, int zoneNo)
{
    const EventRow* event = row ? FindEventRow(*row) : nullptr;
    if (event == nullptr)
        return EventRefusal::NoSelection;
    const bool zoneGiven = zoneNo >= 1 && zoneNo <= static_cast<int>(ZONE_SET_MASK.size());
    if (event->NeedsZone() && !zoneGiven)
        return EventRefusal::ZoneRequired;

    BuiltEvent built;
    built.status = stored;
    ApplyStatusChange(*event, zoneGiven ? static_cast<std::size_t>(zoneNo - 1) : 0, built.status);
    built.length = event->length;
    built.bytes[FRAME_LENGTH] = event->length;
    built.bytes[FRAME_COMM_NO] = commNo;
    built.bytes[FRAME_DEVICE_NO] = deviceNo;
    built.bytes[FRAME_COMMAND] = event->command;
    std::ranges::copy(built.status, built.bytes.begin() + FRAME_STATUS);
    built.bytes[built.length - 1] = FrameChecksum(built.bytes);
    return built;
}

} // namespace veltrano
