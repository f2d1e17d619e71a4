#pragma once

#include "protocol/frame.h"
#include "protocol/frame_decoder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What a centre makes of a panel's frames: which catalogue events a frame carries, judged against the
// status the panel last reported. The centre's panel book, `test panel` and the window all read panels
// through these rules.
//
// - online, fault and fault-restore frames are one event of their row each;
// - a well-formed status frame (12 bytes, length byte 12, right checksum) carries the fewest catalogue events
//   that turn the last status into the new one: a zone-alarm or zone-alarm-restore per changed ZoneAlarm bit;
//   the row of each changed DeviceFlags bit 1 to 6; DeviceFlags bit 0 changes only through device-disarm
//   (which also disarms every zone) or device-arm (which arms every zone), the other ZoneDisarm changes
//   through zone-disarm and zone-arm (never trigger, which the centre cannot tell from zone-disarm). Where
//   zone events alone explain a change as briefly as a device event would, the zone events are named.
//   Bits no row sets (DeviceFlags bit 7, the spare byte) give one STATUS_BITS_EVENT per byte;
// - the events come with the device event first, then in catalogue order, zones ascending: applied in that
//   order by the event builder, they turn the old status into the new;
// - acknowledgements, malformed frames and other commands carry none and change nothing.
namespace veltrano {

// A panel starts from the status every simulated panel starts with.
inline constexpr StatusBytes FIRST_STATUS = DEFAULT_STATUS;

// The row of an event that names status bits no catalogue row sets.
inline constexpr std::uint8_t STATUS_BITS_EVENT = 0xFF;

struct PanelEvent
{
    std::uint8_t row{0};  // catalogue index, or STATUS_BITS_EVENT
    std::uint8_t zone{0}; // 1 to 8 for the zone rows, else 0
    std::uint8_t byte{0}; // STATUS_BITS_EVENT: the StatusByte whose bits changed
    std::uint8_t bits{0}; // STATUS_BITS_EVENT: those bits (old XOR new)

    friend bool operator==(const PanelEvent&, const PanelEvent&) = default;
};

// The events of one frame, without allocating: at most one device event, 8 zone-arm/disarm, 8 zone-alarm
// rows, 6 flag rows and 2 bit events.
class PanelEvents final
{
public:
    static constexpr std::size_t CAPACITY = 25;

    void Add(PanelEvent event) { m_events[m_count++] = event; }
    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    const PanelEvent* begin() const { return m_events.data(); }
    const PanelEvent* end() const { return m_events.data() + m_count; }
    const PanelEvent& operator[](std::size_t i) const { return m_events[i]; }

private:
    std::array<PanelEvent, CAPACITY> m_events{};
    std::size_t m_count{0};
};

// The events that turn `from` into `to`; none when they are equal.
PanelEvents StatusEvents(const StatusBytes& from, const StatusBytes& to);

// What a datagram is to the panel it names.
enum class PanelFrameKind : std::uint8_t
{
    Event,           // a well-formed online, fault or fault-restore frame: its row's event
    Status,          // a well-formed status frame: the events of its change
    Acknowledgement, // names no panel's state
    Malformed,       // wrong checksum or length byte, cut short, a panel number above 239
    Other,           // well formed, another command (the debug frame, unknown codes)
};

struct PanelFrame
{
    PanelFrameKind kind{PanelFrameKind::Malformed};
    StatusBytes status{}; // the status the panel holds after the frame
    PanelEvents events;   // a fault frame's event raises the panel's fault, fault-restore's ends it
};

// Whether the datagram names a panel the book follows: not an acknowledgement, holds the communicator and
// device bytes, both 0 to 239. A malformed frame that names one still shows the panel alive.
bool NamesPanel(const DecodedFrame& decoded);

// The frame read against the status `last` the panel held before it.
PanelFrame ReadPanelFrame(const DecodedFrame& decoded, const StatusBytes& last);

// Whether the event is the fault frame's, which raises a panel's fault, or fault-restore's, which ends it.
bool RaisesFault(const PanelEvent& event);
bool EndsFault(const PanelEvent& event);

// Names of an event: the catalogue's key ("zone-alarm") and Chinese name ("防区报警"); a status-bits event
// is "status-bits" / "未知状态位".
std::string_view EventKey(const PanelEvent& event);
std::string_view EventNameZh(const PanelEvent& event);
// "zone-alarm zone 3", "device-disarm", "status-bits spare 0x01", "status-bits device_flags 0x80".
void AppendEventText(std::string& out, const PanelEvent& event);
// "防区报警 防区3", "设备撤防", "未知状态位 备用字节 0x01".
void AppendEventTextZh(std::string& out, const PanelEvent& event);
// "device_flags", "spare" (the other status bytes: "zone_alarm", "zone_disarm").
std::string_view StatusByteKey(std::uint8_t byte);

// The decoding of a status as the catalogue words it: zones as "1、3", device flags by the name of the row
// that sets each (bit 0 "设备撤防", bit 2 "被撬", bit 4 "无ac", bit 7 "位7"), each joined by `separator`.
void AppendZoneList(std::string& out, std::uint8_t zones, std::string_view separator);
void AppendFlagWordsZh(std::string& out, std::uint8_t deviceFlags, std::string_view separator);
// The catalogue name of the row that sets DeviceFlags bit `bit` (0 to 6), empty for bit 7.
std::string_view FlagWordZh(int bit);

} // namespace veltrano
