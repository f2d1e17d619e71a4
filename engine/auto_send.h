#pragma once

#include <array>
#include <cstdint>

// The walk of automatic sending: one per process, never reset; only the tick changes it.
struct SweepState
{
    std::array<std::uint8_t, 12> frame{0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::uint8_t communicator{0};
    std::uint8_t device{0};
    std::uint8_t position{8};
    std::uint8_t fill{0x00};
};

SweepState& TheSweepState();

// Writes this tick's bytes and checksum into the frame.
void PrepareSweepFrame(SweepState& state);
// Moves to the next tick: fill, then position 8 to 10, then device, then communicator, wrapping at 240.
void AdvanceSweep(SweepState& state);
