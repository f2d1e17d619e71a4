#pragma once

#include "protocol/frame.h"

#include <optional>
#include <span>
#include <string>

namespace veltrano {

// What a centre holds against a frame a panel sent: its length byte, checksum (the debug frame's final 0x00
// allowed), reserved bytes, communicator and device numbers and command. Nothing when it is well formed,
// else the reasons joined by ", " ("length byte 12, datagram 11 bytes, checksum 0x21 expected, 0x20 found").
std::optional<std::string> PanelFrameProblem(std::span<const std::uint8_t> datagram);

// Whether one event of the catalogue, applied to the status `before`, leaves `after`, read with the centre's
// status rules (sim/status_rules.h): a change they read as at most one catalogue event. An unchanged status
// counts too, since a panel repeats what it last said; bits no event sets never do.
bool StatusStepPossible(const StatusBytes& before, const StatusBytes& after);
// Nothing when StatusStepPossible, else what the change would take: "2 events: zone-alarm-restore zone 1,
// zone-alarm zone 2" or "status-bits spare 0x01, which no event sets".
std::optional<std::string> StatusStepProblem(const StatusBytes& before, const StatusBytes& after);

// "AA BB CC DD".
std::string StatusHex(const StatusBytes& status);

} // namespace veltrano
