#include "engine/host_center_engine.h"
#include "engine/messages.h"
#include "sim/event_builder.h"

#include <algorithm>
#include <variant>

using namespace veltrano;

namespace {

bool InAddressRange(int number)
{
    return number >= 0 && number <= MAX_ADDRESS_NUMBER;
}

} // namespace

void CHostCenterEngine::OnSendEvent()
{
    if (!m_endpoint.IsOpen())
        return;
    const FormExchange form = m_console.PullFormValues();
    const FormValues& values = form.values;
    if (!InAddressRange(values.commNo) || !InAddressRange(values.deviceNo) || values.zoneNo < 0 ||
        values.zoneNo > MAX_ZONE_NUMBER) {
        m_console.ShowMessage(DeviceAddressRangeMessage());
        return;
    }
    // A failed exchange leaves numbers the form no longer shows; sending for them would surprise.
    if (!form.passed)
        return;
    const std::optional<Endpoint> destination = ResolveDestinationOrTell();
    if (!destination)
        return;

    // The pair is registered even when nothing is sent: no selection, or a zone event without a zone.
    CDeviceEntry& entry = PrepareStatusEntry(values.commNo, values.deviceNo);
    Q_EMIT RegistryChanged();
    const auto built =
        BuildEvent(m_console.EventSelection(), entry.m_status, static_cast<std::uint8_t>(values.commNo),
                   static_cast<std::uint8_t>(values.deviceNo), values.zoneNo);
    const auto* event = std::get_if<BuiltEvent>(&built);
    if (event == nullptr)
        return;
    entry.m_status = event->status;
    m_sendBuf.fill(0);
    std::ranges::copy(event->Frame(), m_sendBuf.begin());
    const auto frame = std::span(m_sendBuf).first(event->length);
    const SendResult sent = m_endpoint.SendTo(*destination, frame);
    m_console.AppendFrame(LogList::Sent, {frame, WallClockUs(), *destination, sent.error});
}

CDeviceEntry& CHostCenterEngine::PrepareStatusEntry(int commNo, int deviceNo)
{
    const auto comm = static_cast<std::uint8_t>(commNo);
    const auto device = static_cast<std::uint8_t>(deviceNo);
    CDeviceEntry* entry = m_registry.FindDevice(comm, device);
    if (entry == nullptr)
        entry = m_registry.CreateDevice(comm, device);
    return *entry;
}
