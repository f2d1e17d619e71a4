#pragma once

#include "protocol/frame.h"

#include <array>
#include <cstdint>

namespace veltrano {

// The automatic sweep: one status frame per tick, walking every communicator and device number from 0 to
// 239 and writing 0x00 then 0xFF into DeviceFlags, ZoneDisarm and Spare in turn, six ticks a pair. The
// frame's bytes persist from tick to tick, so a byte set to 0xFF stays so until the walk comes back to it.
class SweepWalk final
{
public:
    using Frame = std::array<std::uint8_t, STATUS_FRAME_LENGTH>;

    static constexpr std::uint32_t ADDRESS_COUNT = 240;
    static constexpr std::uint32_t TICKS_PER_PAIR = 6;
    static constexpr std::uint32_t TICKS_PER_WALK = ADDRESS_COUNT * ADDRESS_COUNT * TICKS_PER_PAIR; // 345,600

    // Tick 1 comes next: the walk as the program starts it.
    SweepWalk() = default;
    // Tick `tick` (counted from 1 since the program started) comes next, with the bytes every earlier tick
    // left in the frame; ticks past the walk's end continue into its next round.
    explicit SweepWalk(std::uint64_t tick);

    // This tick's frame, checksum included; the walk moves on to the next tick.
    Frame Next();
    // The tick the next frame belongs to, counted from 1.
    std::uint64_t NextTick() const { return m_tick; }

private:
    void Advance();

    Frame m_frame{STATUS_FRAME_LENGTH, 0x00, 0x00, 0x00, 0x00, 0x00,
                  CMD_STATUS,          0x00, 0x00, 0x00, 0x00, 0x00};
    std::uint8_t m_communicator{0};
    std::uint8_t m_device{0};
    std::uint8_t m_position{FRAME_STATUS + DeviceFlags};
    std::uint8_t m_fill{0x00};
    std::uint64_t m_tick{1};
};

} // namespace veltrano
