#include "registry/device_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

using namespace veltrano;

namespace {

TEST(DeviceRegistry, EntriesStartFromDefaultsAndStayIndependent)
{
    CDeviceRegistry registry;
    EXPECT_EQ(registry.FindDevice(0, 1), nullptr);
    CDeviceEntry* first = registry.CreateDevice(0, 1);
    CDeviceEntry* second = registry.CreateDevice(3, 1);
    ASSERT_TRUE(first != nullptr && second != nullptr);
    EXPECT_EQ(first->m_status, (StatusBytes{0x00, 0x11, 0x00, 0x00}));
    EXPECT_EQ(first->m_owner, registry.FindComm(0));
    EXPECT_EQ(second->m_owner, registry.FindComm(3));

    first->m_status[ZoneAlarm] = 0x01;
    EXPECT_EQ(registry.FindDevice(0, 1), first);
    EXPECT_EQ(registry.FindDevice(3, 1), second);
    EXPECT_EQ(second->m_status, DEFAULT_STATUS);
}

TEST(DeviceRegistry, TablesStayOrderedAsUnsignedNumbers)
{
    using Pairs = std::vector<std::pair<std::uint8_t, std::uint8_t>>; // communicator, device
    const Pairs cases[] = {
        {{0, 5}, {0, 7}, {0, 3}},
        {{9, 1}, {2, 1}},
        {{200, 200}, {1, 0}, {128, 1}, {1, 255}, {1, 128}, {1, 127}},
    };
    for (const Pairs& created : cases) {
        CDeviceRegistry registry;
        for (const auto& [comm, device] : created)
            registry.CreateDevice(comm, device);
        Pairs layout;
        for (const auto& comm : registry.Comms()) {
            for (const auto& device : comm->m_devices)
                layout.emplace_back(comm->m_commNo, device->m_deviceNo);
        }
        Pairs expected = created;
        std::ranges::sort(expected);
        EXPECT_EQ(layout, expected);
    }
}

TEST(DeviceRegistry, FindsExactlyTheCreatedDevicesInEveryRange)
{
    for (const std::size_t count : {19, 20, 25, 240}) {
        std::vector<std::uint8_t> numbers(256);
        std::iota(numbers.begin(), numbers.end(), std::uint8_t{0});
        std::shuffle(numbers.begin(), numbers.end(), std::mt19937(static_cast<unsigned>(count)));
        CDeviceRegistry registry;
        std::array<CDeviceEntry*, 256> entries{}; // by device number; null for the numbers never created
        for (std::size_t i = 0; i < count; ++i)
            entries[numbers[i]] = registry.CreateDevice(7, numbers[i]);
        const CCommEntry* comm = registry.FindComm(7);
        ASSERT_NE(comm, nullptr);
        std::size_t index = 0; // of the device in the ordered table, when it exists
        for (std::size_t device = 0; device < entries.size(); ++device) {
            const auto number = static_cast<std::uint8_t>(device);
            EXPECT_EQ(registry.FindDevice(7, number), entries[device]) << count << " devices, " << device;
            for (const std::size_t start : {0, 5, 18}) {
                for (const std::size_t end : {0, 19, 20, 25, 240, 500}) {
                    const bool inRange = start <= index && index < std::min(end, count);
                    EXPECT_EQ(comm->FindDeviceInRange(start, end, number),
                              inRange ? entries[device] : nullptr)
                        << count << " devices, " << device << " in " << start << ".." << end;
                }
            }
            index += entries[device] != nullptr ? 1 : 0;
        }
    }
}

} // namespace
