#include "sim/status_rules.h"

#include "sim/event_catalogue.h"

#include <bit>

namespace veltrano {
namespace {

constexpr std::uint8_t DISARMED_BIT = ZONE_SET_MASK[0]; // DeviceFlags bit 0
// DeviceFlags bits a flag row sets or clears: 1 to 6.
constexpr std::uint8_t FLAG_ROW_BITS = 0x7E;

constexpr std::uint8_t RowOf(StatusChange change)
{
    for (std::size_t i = 0; i < EVENT_CATALOGUE.size(); ++i)
        if (EVENT_CATALOGUE[i].change == change)
            return static_cast<std::uint8_t>(i);
    return STATUS_BITS_EVENT;
}
constexpr std::uint8_t ARM_ROW = RowOf(StatusChange::ArmDevice);
constexpr std::uint8_t DISARM_ROW = RowOf(StatusChange::DisarmDevice);
static_assert(ARM_ROW != STATUS_BITS_EVENT && DISARM_ROW != STATUS_BITS_EVENT);

// A zone row that acts like an earlier one (trigger after zone-disarm): the centre names the earlier.
constexpr bool RepeatsEarlierRow(std::size_t index)
{
    const EventRow& row = EVENT_CATALOGUE[index];
    for (std::size_t i = 0; i < index; ++i)
        if (EVENT_CATALOGUE[i].change == row.change && EVENT_CATALOGUE[i].target == row.target)
            return true;
    return false;
}

constexpr std::uint8_t RowOfCommand(std::uint8_t command)
{
    for (std::size_t i = 0; i < EVENT_CATALOGUE.size(); ++i)
        if (EVENT_CATALOGUE[i].command == command)
            return static_cast<std::uint8_t>(i);
    return STATUS_BITS_EVENT;
}

// The row whose only action is setting (or clearing) DeviceFlags bit `bit`.
constexpr std::uint8_t FlagRow(int bit, StatusChange change)
{
    const auto set = static_cast<std::uint8_t>(1U << bit);
    for (std::size_t i = 0; i < EVENT_CATALOGUE.size(); ++i) {
        const EventRow& row = EVENT_CATALOGUE[i];
        if (row.change == change && row.mask == (change == StatusChange::SetFlags ? set : ~set & 0xFF))
            return static_cast<std::uint8_t>(i);
    }
    return STATUS_BITS_EVENT;
}

// Every DeviceFlags bit from 1 to 6 has a row that sets it and one that clears it, and nothing else does.
constexpr bool FlagRowsCoverTheirBits()
{
    for (int bit = 1; bit <= 6; ++bit)
        if (FlagRow(bit, StatusChange::SetFlags) == STATUS_BITS_EVENT ||
            FlagRow(bit, StatusChange::ClearFlags) == STATUS_BITS_EVENT)
            return false;
    return FlagRow(7, StatusChange::SetFlags) == STATUS_BITS_EVENT;
}
static_assert(FlagRowsCoverTheirBits());

int ZoneByteChanges(std::uint8_t from, std::uint8_t to)
{
    return std::popcount(static_cast<unsigned>(from ^ to));
}

// The device event that leads to the fewest events, if one is needed or helps; none when the zone events
// alone do as well.
std::uint8_t DeviceEventFor(const StatusBytes& from, const StatusBytes& to)
{
    const bool wasDisarmed = (from[DeviceFlags] & DISARMED_BIT) != 0;
    const bool isDisarmed = (to[DeviceFlags] & DISARMED_BIT) != 0;
    const std::uint8_t row = isDisarmed ? DISARM_ROW : ARM_ROW;
    if (wasDisarmed != isDisarmed)
        return row;
    const std::uint8_t afterDevice = isDisarmed ? 0xFF : 0x00;
    const int withDevice = 1 + ZoneByteChanges(afterDevice, to[ZoneDisarm]);
    return withDevice < ZoneByteChanges(from[ZoneDisarm], to[ZoneDisarm]) ? row : STATUS_BITS_EVENT;
}

void AddZoneEvents(std::uint8_t row, std::uint8_t zones, PanelEvents& events)
{
    for (int zone = 1; zone <= 8; ++zone)
        if ((zones & ZONE_SET_MASK[static_cast<std::size_t>(zone - 1)]) != 0)
            events.Add({row, static_cast<std::uint8_t>(zone)});
}

void AppendHex(std::string& out, std::uint8_t value)
{
    out += "0x";
    AppendHexByte(out, value);
}

} // namespace

PanelEvents StatusEvents(const StatusBytes& from, const StatusBytes& to)
{
    PanelEvents events;
    if (from == to) // a heartbeat: most frames a centre hears
        return events;
    StatusBytes now = from;
    if (const std::uint8_t device = DeviceEventFor(from, to); device != STATUS_BITS_EVENT) {
        events.Add({device});
        now[DeviceFlags] = static_cast<std::uint8_t>((now[DeviceFlags] & ~DISARMED_BIT) |
                                                     (device == DISARM_ROW ? DISARMED_BIT : 0));
        now[ZoneDisarm] = device == DISARM_ROW ? 0xFF : 0x00;
    }
    for (std::size_t index = 0; index < EVENT_CATALOGUE.size(); ++index) {
        const EventRow& row = EVENT_CATALOGUE[index];
        const auto rowIndex = static_cast<std::uint8_t>(index);
        const std::uint8_t was = now[row.target];
        const std::uint8_t will = to[row.target];
        switch (row.change) {
        case StatusChange::SetZoneBit:
            if (!RepeatsEarlierRow(index))
                AddZoneEvents(rowIndex, static_cast<std::uint8_t>(~was & will), events);
            break;
        case StatusChange::ClearZoneBit:
            if (!RepeatsEarlierRow(index))
                AddZoneEvents(rowIndex, static_cast<std::uint8_t>(was & ~will), events);
            break;
        case StatusChange::SetFlags:
            if ((row.mask & ~now[DeviceFlags] & to[DeviceFlags] & FLAG_ROW_BITS) != 0)
                events.Add({rowIndex});
            break;
        case StatusChange::ClearFlags:
            if ((~row.mask & now[DeviceFlags] & ~to[DeviceFlags] & FLAG_ROW_BITS) != 0)
                events.Add({rowIndex});
            break;
        case StatusChange::None:
        case StatusChange::ArmDevice:
        case StatusChange::DisarmDevice:
            break;
        }
    }
    if (const auto bits = static_cast<std::uint8_t>((from[DeviceFlags] ^ to[DeviceFlags]) & ~0x7F); bits != 0)
        events.Add({STATUS_BITS_EVENT, 0, DeviceFlags, bits});
    if (const auto bits = static_cast<std::uint8_t>(from[Spare] ^ to[Spare]); bits != 0)
        events.Add({STATUS_BITS_EVENT, 0, Spare, bits});
    return events;
}

bool NamesPanel(const DecodedFrame& decoded)
{
    return !decoded.ack && decoded.size > FRAME_DEVICE_NO && decoded.comm <= MAX_ADDRESS_NUMBER &&
           decoded.device <= MAX_ADDRESS_NUMBER;
}

PanelFrame ReadPanelFrame(const DecodedFrame& decoded, const StatusBytes& last)
{
    PanelFrame frame;
    frame.status = last;
    frame.kind = PanelFrameKind::Malformed;
    if (decoded.ack) {
        frame.kind = PanelFrameKind::Acknowledgement;
        return frame;
    }
    if (!NamesPanel(decoded) || decoded.size != decoded.declaredLength)
        return frame;
    if (decoded.kind == CommandKind::Debug) {
        if (decoded.ChecksumOk() && decoded.size == DEBUG_FRAME_LENGTH)
            frame.kind = PanelFrameKind::Other;
        return frame;
    }
    if (decoded.checksum != ChecksumState::Good)
        return frame;
    if (decoded.kind == CommandKind::Unknown) {
        frame.kind = PanelFrameKind::Other;
        return frame;
    }
    const std::uint8_t row = RowOfCommand(decoded.command);
    if (row == STATUS_BITS_EVENT || decoded.size != EVENT_CATALOGUE[row].length)
        return frame;
    if (decoded.kind == CommandKind::Status) {
        frame.kind = PanelFrameKind::Status;
        frame.status = decoded.status;
        frame.events = StatusEvents(last, decoded.status);
    } else {
        frame.kind = PanelFrameKind::Event;
        frame.events.Add({row});
    }
    return frame;
}

bool RaisesFault(const PanelEvent& event)
{
    return event.row == RowOfCommand(CMD_FAULT);
}

bool EndsFault(const PanelEvent& event)
{
    return event.row == RowOfCommand(CMD_FAULT_RESTORE);
}

std::string_view EventKey(const PanelEvent& event)
{
    const EventRow* row = FindEventRow(event.row);
    return row != nullptr ? std::string_view(row->key) : std::string_view("status-bits");
}

std::string_view EventNameZh(const PanelEvent& event)
{
    const EventRow* row = FindEventRow(event.row);
    return row != nullptr ? std::string_view(row->name) : std::string_view("未知状态位");
}

namespace {

// In StatusByte order; a byte past them is the spare's.
struct StatusByteNames
{
    std::string_view key;
    std::string_view zh;
};
constexpr StatusByteNames STATUS_BYTE_NAMES[] = {
    {"zone_alarm", "防区报警字节"},
    {"device_flags", "设备标志字节"},
    {"zone_disarm", "防区撤防字节"},
    {"spare", "备用字节"},
};
static_assert(std::size(STATUS_BYTE_NAMES) == StatusBytes{}.size());

const StatusByteNames& NamesOf(std::uint8_t byte)
{
    return STATUS_BYTE_NAMES[std::min<std::size_t>(byte, Spare)];
}

std::string_view StatusByteZh(std::uint8_t byte)
{
    return NamesOf(byte).zh;
}

} // namespace

std::string_view StatusByteKey(std::uint8_t byte)
{
    return NamesOf(byte).key;
}

void AppendEventText(std::string& out, const PanelEvent& event)
{
    out += EventKey(event);
    if (event.row == STATUS_BITS_EVENT) {
        out += ' ';
        out += StatusByteKey(event.byte);
        out += ' ';
        AppendHex(out, event.bits);
    } else if (event.zone != 0) {
        out += " zone ";
        out += static_cast<char>('0' + event.zone);
    }
}

void AppendEventTextZh(std::string& out, const PanelEvent& event)
{
    out += EventNameZh(event);
    if (event.row == STATUS_BITS_EVENT) {
        out += ' ';
        out += StatusByteZh(event.byte);
        out += ' ';
        AppendHex(out, event.bits);
    } else if (event.zone != 0) {
        out += " 防区";
        out += static_cast<char>('0' + event.zone);
    }
}

void AppendZoneList(std::string& out, std::uint8_t zones, std::string_view separator)
{
    bool first = true;
    for (int zone = 1; zone <= 8; ++zone) {
        if ((zones & ZONE_SET_MASK[static_cast<std::size_t>(zone - 1)]) == 0)
            continue;
        if (!first)
            out += separator;
        first = false;
        out += static_cast<char>('0' + zone);
    }
}

std::string_view FlagWordZh(int bit)
{
    if (bit == 0)
        return EVENT_CATALOGUE[DISARM_ROW].name;
    if (bit < 1 || bit > 6)
        return {};
    return EVENT_CATALOGUE[FlagRow(bit, StatusChange::SetFlags)].name;
}

void AppendFlagWordsZh(std::string& out, std::uint8_t deviceFlags, std::string_view separator)
{
    bool first = true;
    for (int bit = 0; bit < 8; ++bit) {
        if ((deviceFlags & ZONE_SET_MASK[static_cast<std::size_t>(bit)]) == 0)
            continue;
        if (!first)
            out += separator;
        first = false;
        if (bit == 7)
            out += "位7";
        else
            out += FlagWordZh(bit);
    }
}

} // namespace veltrano
