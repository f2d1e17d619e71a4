#include "registry/device_registry.h"

#include <algorithm>
#include <utility>

namespace veltrano {

namespace {

// Below this many candidates a linear walk is as quick as halving.
constexpr std::size_t BISECTION_THRESHOLD = 20;

// Inserts before the first entry with a greater number, else appends.
template <typename Entry, typename NumberOf>
void InsertOrdered(std::vector<std::unique_ptr<Entry>>& entries, std::unique_ptr<Entry> entry,
                   NumberOf numberOf)
{
    const auto number = numberOf(*entry);
    const auto pos = std::ranges::find_if(
        entries, [&](const std::unique_ptr<Entry>& existing) { return numberOf(*existing) > number; });
    entries.insert(pos, std::move(entry));
}

} // namespace

CCommEntry::CCommEntry(std::uint8_t commNo) : m_commNo(commNo) {}

CCommEntry::~CCommEntry()
{
    // Last to first, whatever order the vector itself would use.
    while (!m_devices.empty())
        m_devices.pop_back();
}

CDeviceEntry* CCommEntry::FindDeviceInRange(std::size_t start, std::size_t end, std::uint8_t deviceNo) const
{
    end = std::min(end, m_devices.size());
    while (start < end && end - start >= BISECTION_THRESHOLD) {
        const std::size_t mid = start + (end - start) / 2;
        const std::uint8_t midNo = m_devices[mid]->m_deviceNo;
        if (midNo == deviceNo)
            return m_devices[mid].get();
        if (midNo > deviceNo)
            end = mid;
        else
            start = mid + 1;
    }
    for (std::size_t i = start; i < end; ++i) {
        if (m_devices[i]->m_deviceNo == deviceNo)
            return m_devices[i].get();
    }
    return nullptr;
}

void CCommEntry::InsertDevice(std::unique_ptr<CDeviceEntry> entry)
{
    if (!entry)
        return;
    entry->m_owner = this;
    InsertOrdered(m_devices, std::move(entry), [](const CDeviceEntry& e) { return e.m_deviceNo; });
}

CDeviceRegistry::~CDeviceRegistry()
{
    // Last to first, whatever order the vector itself would use.
    while (!m_comms.empty())
        m_comms.pop_back();
}

CDeviceEntry* CDeviceRegistry::FindDevice(std::uint8_t commNo, std::uint8_t deviceNo) const
{
    const CCommEntry* comm = FindComm(commNo);
    if (comm == nullptr)
        return nullptr;
    return comm->FindDeviceInRange(0, comm->m_devices.size(), deviceNo);
}

CDeviceEntry* CDeviceRegistry::CreateDevice(std::uint8_t commNo, std::uint8_t deviceNo)
{
    CCommEntry* comm = FindComm(commNo);
    if (comm == nullptr) {
        auto created = std::make_unique<CCommEntry>(commNo);
        comm = created.get();
        InsertComm(std::move(created));
    }
    auto device = std::make_unique<CDeviceEntry>();
    device->m_deviceNo = deviceNo;
    CDeviceEntry* result = device.get();
    comm->InsertDevice(std::move(device));
    return result;
}

CCommEntry* CDeviceRegistry::FindComm(std::uint8_t commNo) const
{
    const auto it = std::ranges::find_if(
        m_comms, [commNo](const std::unique_ptr<CCommEntry>& comm) { return comm->m_commNo == commNo; });
    return it == m_comms.end() ? nullptr : it->get();
}

void CDeviceRegistry::InsertComm(std::unique_ptr<CCommEntry> entry)
{
    if (!entry)
        return;
    InsertOrdered(m_comms, std::move(entry), [](const CCommEntry& e) { return e.m_commNo; });
}

} // namespace veltrano
