#include "engine/host_center_engine.h"
#include "engine/messages.h"

using namespace veltrano;

void CHostCenterEngine::OnAutoSendStart()
{
    if (!ResolveDestinationOrTell())
        return;
    // The first frame leaves one period after the press; pressing again restarts the period.
    m_autoSendTimer.start();
    m_console.ApplyState(State());
}

void CHostCenterEngine::OnAutoSendStop()
{
    m_autoSendTimer.stop();
    m_console.ApplyState(State());
}

void CHostCenterEngine::OnAutoSendTick()
{
    // Resolved afresh every tick; the destination fields are disabled meanwhile.
    const std::optional<Endpoint> destination = ResolveDestination();
    if (!destination) {
        OnAutoSendStop();
        m_console.ShowMessage(DestinationInvalidMessage());
        return;
    }
    // Nothing is shown; with the endpoint closed the send fails and the walk moves on all the same.
    const SweepWalk::Frame frame = m_sweep.Next();
    m_endpoint.SendTo(*destination, frame);
}
