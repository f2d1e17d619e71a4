#include "engine/host_center_engine.h"

#include "engine/control_ids.h"
#include "engine/event_catalogue.h"
#include "engine/messages.h"

#include <algorithm>
#include <optional>

namespace {

constexpr int MAX_ADDRESS_NO = 239;
constexpr int MAX_ZONE_NO = 8;

bool InAddressRange(int number)
{
    return number >= 0 && number <= MAX_ADDRESS_NO;
}

void ApplyStatusChange(const EventRow& row, int zoneNo, FrameBuffer& frame)
{
    std::uint8_t& flags = frame[FRAME_STATUS + DeviceFlags];
    std::uint8_t& zoneDisarm = frame[FRAME_STATUS + ZoneDisarm];
    // Used by the zone rows only, whose zone is 1 to 8 by now.
    const auto zoneIndex = static_cast<std::size_t>(zoneNo - 1);
    switch (row.change) {
    case StatusChange::None:
        break;
    case StatusChange::SetZoneBit:
        frame[FRAME_STATUS + row.target] |= ZONE_SET_MASK[zoneIndex];
        break;
    case StatusChange::ClearZoneBit:
        frame[FRAME_STATUS + row.target] &= ZONE_CLEAR_MASK[zoneIndex];
        break;
    case StatusChange::SetFlags:
        flags |= row.mask;
        break;
    case StatusChange::ClearFlags:
        flags &= row.mask;
        break;
    case StatusChange::ArmDevice:
        flags &= ZONE_CLEAR_MASK[0];
        zoneDisarm = 0x00;
        break;
    case StatusChange::DisarmDevice:
        flags |= ZONE_SET_MASK[0];
        zoneDisarm = 0xFF;
        break;
    }
}

} // namespace

void CHostCenterEngine::OnSendEvent()
{
    if (!m_endpoint.IsOpen())
        return;
    const bool exchanged = m_console.PullFormValues(m_commNo, m_deviceNo, m_zoneNo, m_commandText);
    if (!InAddressRange(m_commNo) || !InAddressRange(m_deviceNo) || m_zoneNo < 0 || m_zoneNo > MAX_ZONE_NO) {
        m_console.ShowMessage(DeviceAddressRangeMessage());
        return;
    }
    // A failed exchange leaves numbers the form no longer shows; sending for them would surprise.
    if (!exchanged)
        return;
    std::uint32_t address{0};
    std::uint16_t port{0};
    if (!ResolveDestinationOrTell(address, port))
        return;
    BuildAndSendEvent(address, port);
}

CDeviceEntry* CHostCenterEngine::PrepareStatusFrame()
{
    m_sendBuf.fill(0);
    const auto commNo = static_cast<std::uint8_t>(m_commNo);
    const auto deviceNo = static_cast<std::uint8_t>(m_deviceNo);
    m_sendBuf[FRAME_LENGTH] = STATUS_FRAME_LENGTH;
    m_sendBuf[FRAME_COMM_NO] = commNo;
    m_sendBuf[FRAME_DEVICE_NO] = deviceNo;
    m_sendBuf[FRAME_COMMAND] = CMD_STATUS;
    CDeviceEntry* entry = m_registry.FindDevice(commNo, deviceNo);
    if (entry == nullptr)
        entry = m_registry.CreateDevice(commNo, deviceNo);
    std::copy(entry->m_status.begin(), entry->m_status.end(), m_sendBuf.begin() + FRAME_STATUS);
    return entry;
}

void CHostCenterEngine::BuildAndSendEvent(std::uint32_t address, std::uint16_t port)
{
    CDeviceEntry* entry = PrepareStatusFrame();
    const std::optional<int> selection = m_console.EventSelection();
    if (!selection || *selection < 0 || *selection >= EVENT_TYPE_COUNT)
        return;
    const EventRow& row = EVENT_CATALOGUE[static_cast<std::size_t>(*selection)];
    if (row.NeedsZone() && (m_zoneNo < 1 || m_zoneNo > MAX_ZONE_NO))
        return;
    m_sendBuf[FRAME_LENGTH] = row.length;
    m_sendBuf[FRAME_COMMAND] = row.command;
    ApplyStatusChange(row, m_zoneNo, m_sendBuf);

    // Before the checksum: a short frame's checksum sits where the status frame keeps status bytes.
    std::copy_n(m_sendBuf.begin() + FRAME_STATUS, entry->m_status.size(), entry->m_status.begin());
    const std::size_t length = row.length;
    m_sendBuf[length - 1] = FrameChecksum(m_sendBuf);
    m_endpoint.SendTo(address, port, m_sendBuf.data(), row.length);
    m_console.AppendLine(IDC_SENT_LIST, FormatFrameHex(m_sendBuf));
}
