#pragma once

#include "protocol/frame.h"

#include <optional>
#include <span>
#include <string>

// What a centre holds against a frame a panel sent: its length byte, checksum (the debug frame's final 0x00
// allowed), reserved bytes, communicator and device numbers and command. Nothing when it is well formed,
// else the reasons joined by ", " ("length byte 12, datagram 11 bytes, checksum 0x21 expected, 0x20 found").
std::optional<std::string> PanelFrameProblem(std::span<const std::uint8_t> datagram);

// Whether one event of the catalogue, applied to the status `before`, leaves `after`: an event that
// changes nothing counts too, since a panel repeats what it last said.
bool StatusStepPossible(const StatusBytes& before, const StatusBytes& after);

// "AA BB CC DD".
std::string StatusHex(const StatusBytes& status);
