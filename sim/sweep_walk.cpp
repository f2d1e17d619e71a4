#include "sim/sweep_walk.h"

namespace veltrano {

namespace {

constexpr std::uint8_t FIRST_POSITION = FRAME_STATUS + DeviceFlags;
constexpr std::uint8_t LAST_POSITION = FRAME_STATUS + Spare;

} // namespace

SweepWalk::SweepWalk(std::uint64_t tick)
{
    if (tick <= 1)
        return;
    const std::uint64_t step = (tick - 1) % TICKS_PER_WALK;
    const std::uint64_t pair = step / TICKS_PER_PAIR;
    // Every pair's six ticks end with 0xFF in all three bytes; only the very first pair starts from zeros.
    if (tick > TICKS_PER_PAIR) {
        for (std::uint8_t position = FIRST_POSITION; position <= LAST_POSITION; ++position)
            m_frame[position] = 0xFF;
    }
    m_communicator = static_cast<std::uint8_t>(pair / ADDRESS_COUNT);
    m_device = static_cast<std::uint8_t>(pair % ADDRESS_COUNT);
    m_tick = tick - step % TICKS_PER_PAIR;
    for (std::uint64_t i = 0; i < step % TICKS_PER_PAIR; ++i)
        Next();
}

SweepWalk::Frame SweepWalk::Next()
{
    m_frame[FRAME_COMM_NO] = m_communicator;
    m_frame[FRAME_DEVICE_NO] = m_device;
    m_frame[m_position] = m_fill;
    m_frame[STATUS_FRAME_LENGTH - 1] = FrameChecksum(m_frame);
    Advance();
    return m_frame;
}

void SweepWalk::Advance()
{
    ++m_tick;
    if (m_fill == 0x00) {
        m_fill = 0xFF;
        return;
    }
    m_fill = 0x00;
    if (++m_position <= LAST_POSITION)
        return;
    m_position = FIRST_POSITION;
    if (++m_device < ADDRESS_COUNT)
        return;
    m_device = 0;
    if (++m_communicator >= ADDRESS_COUNT)
        m_communicator = 0;
}

} // namespace veltrano
