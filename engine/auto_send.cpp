#include "engine/auto_send.h"

#include "engine/control_ids.h"
#include "engine/host_center_engine.h"
#include "engine/messages.h"

#include "protocol/frame.h"

namespace {

constexpr std::size_t SWEEP_CHECKSUM_INDEX = STATUS_FRAME_LENGTH - 1;
constexpr std::uint8_t FIRST_POSITION = FRAME_STATUS + DeviceFlags;
constexpr std::uint8_t LAST_POSITION = FRAME_STATUS + Spare;
constexpr std::uint8_t ADDRESS_COUNT = 240;

} // namespace

SweepState& TheSweepState()
{
    static SweepState state;
    return state;
}

void PrepareSweepFrame(SweepState& state)
{
    state.frame[FRAME_COMM_NO] = state.communicator;
    state.frame[FRAME_DEVICE_NO] = state.device;
    // A state set from outside must not reach the length, command or checksum bytes.
    if (state.position >= FIRST_POSITION && state.position <= LAST_POSITION)
        state.frame[state.position] = state.fill;
    state.frame[SWEEP_CHECKSUM_INDEX] = FrameChecksum(state.frame);
}

void AdvanceSweep(SweepState& state)
{
    if (state.fill == 0x00) {
        state.fill = 0xFF;
        return;
    }
    state.fill = 0x00;
    if (++state.position <= LAST_POSITION)
        return;
    state.position = FIRST_POSITION;
    if (++state.device < ADDRESS_COUNT)
        return;
    state.device = 0;
    if (++state.communicator >= ADDRESS_COUNT)
        state.communicator = 0;
}

void CHostCenterEngine::OnAutoSendStart()
{
    std::uint32_t address{0};
    std::uint16_t port{0};
    if (!ResolveDestinationOrTell(address, port))
        return;
    m_console.SetTimer(AUTO_SEND_TIMER_ID, AUTO_SEND_PERIOD_MS);
    m_console.EnableControl(IDC_AUTO_SEND, false);
    m_console.EnableControl(IDC_AUTO_STOP, true);
    m_console.EnableControl(IDC_DEST_IP, false);
    m_console.EnableControl(IDC_DEST_PORT, false);
}

void CHostCenterEngine::OnAutoSendStop()
{
    m_console.KillTimer(AUTO_SEND_TIMER_ID);
    m_console.EnableControl(IDC_AUTO_SEND, true);
    m_console.EnableControl(IDC_AUTO_STOP, false);
    m_console.EnableControl(IDC_DEST_IP, true);
    m_console.EnableControl(IDC_DEST_PORT, true);
}

void CHostCenterEngine::OnTimer(int timerId)
{
    if (timerId == AUTO_SEND_TIMER_ID)
        OnAutoSendTick();
}

void CHostCenterEngine::OnAutoSendTick()
{
    std::uint32_t address{0};
    std::uint16_t port{0};
    if (!ResolveDestination(address, port)) {
        OnAutoSendStop();
        m_console.ShowMessage(DestinationInvalidMessage());
        return;
    }
    SweepState& state = TheSweepState();
    PrepareSweepFrame(state);
    m_endpoint.SendTo(address, port, state.frame.data(), static_cast<int>(state.frame.size()));
    AdvanceSweep(state);
}
