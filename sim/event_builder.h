#pragma once

#include "protocol/frame.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

namespace veltrano {

// The simulated panel: one event of the catalogue applied to the status a device last reported.

struct BuiltEvent
{
    std::array<std::uint8_t, STATUS_FRAME_LENGTH> bytes{};
    std::uint8_t length{0};
    StatusBytes status{}; // what the device reports from now on

    std::span<const std::uint8_t> Frame() const { return {bytes.data(), length}; }
};

// Why an event is not sent.
enum class EventRefusal : std::uint8_t
{
    NoSelection,  // no row, or one outside the catalogue
    ZoneRequired, // a zone event without a zone from 1 to 8
};

// The frame of catalogue row `row` for the device, with the checksum, and the status it leaves. The 8- and
// 9-byte frames keep the stored status unchanged even where their checksum takes a status byte's place.
std::variant<BuiltEvent, EventRefusal> BuildEvent(std::optional<int> row, const StatusBytes& stored,
                                                  std::uint8_t commNo, std::uint8_t deviceNo, int zoneNo);

} // namespace veltrano
