#pragma once

#include "protocol/frame.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace veltrano {

class CCommEntry;

// Status bytes last reported for one (communicator, device) pair.
class CDeviceEntry final
{
public:
    std::uint8_t m_deviceNo{0};
    StatusBytes m_status{DEFAULT_STATUS};
    // The communicator that holds the entry, set on insertion. Nothing reads it yet; it stays because the
    // registry's layout links each device entry back to its communicator.
    CCommEntry* m_owner{nullptr};
};

// The devices of one communicator, in strictly ascending device number.
class CCommEntry final
{
public:
    explicit CCommEntry(std::uint8_t commNo);
    ~CCommEntry();
    CCommEntry(const CCommEntry&) = delete;
    CCommEntry& operator=(const CCommEntry&) = delete;

    // Searches indices [start, end), end cut to the table size: bisection while 20 or more remain, then a
    // linear walk.
    CDeviceEntry* FindDeviceInRange(std::size_t start, std::size_t end, std::uint8_t deviceNo) const;
    // Ordered insert; sets the entry's owner link.
    void InsertDevice(std::unique_ptr<CDeviceEntry> entry);

    std::uint8_t m_commNo{0};
    std::vector<std::unique_ptr<CDeviceEntry>> m_devices;
};

// Two levels of ordered tables: communicators, each with its devices. Entries are never removed.
class CDeviceRegistry final
{
public:
    CDeviceRegistry() = default;
    ~CDeviceRegistry();
    CDeviceRegistry(const CDeviceRegistry&) = delete;
    CDeviceRegistry& operator=(const CDeviceRegistry&) = delete;

    CDeviceEntry* FindDevice(std::uint8_t commNo, std::uint8_t deviceNo) const;
    // Does not look for an existing entry: call only after FindDevice returned null.
    CDeviceEntry* CreateDevice(std::uint8_t commNo, std::uint8_t deviceNo);

    CCommEntry* FindComm(std::uint8_t commNo) const;
    void InsertComm(std::unique_ptr<CCommEntry> entry);

    const std::vector<std::unique_ptr<CCommEntry>>& Comms() const { return m_comms; }

private:
    std::vector<std::unique_ptr<CCommEntry>> m_comms;
};

} // namespace veltrano
