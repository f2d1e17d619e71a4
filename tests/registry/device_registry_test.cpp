#include "registry/device_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

namespace {

TEST(DeviceRegistry, EntriesStartFromDefaultsAndStayIndependent)
{
    CDeviceRegistry registry;
    EXPECT_EQ(registry.FindDevice(0, 1), nullptr);
    CDeviceEntry* first = registry.CreateDevice(0, 1);
    CDeviceEntry* second = registry.CreateDevice(3, 1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->m_status, (StatusBytes{0x00, 0x11, 0x00, 0x00}));
    EXPECT_EQ(first->m_owner, registry.FindComm(0));
    EXPECT_EQ(second->m_owner, registry.FindComm(3));

    first->m_status[ZoneAlarm] = 0x01;
    EXPECT_EQ(registry.FindDevice(0, 1), first);
    EXPECT_EQ(registry.FindDevice(0, 1)->m_status, (StatusBytes{0x01, 0x11, 0x00, 0x00}));
    EXPECT_EQ(registry.FindDevice(3, 1), second);
    EXPECT_EQ(second->m_status, DEFAULT_STATUS);
}

TEST(DeviceRegistry, TablesStayOrderedAsUnsignedNumbers)
{
    using Pair = std::pair<std::uint8_t, std::uint8_t>; // communicator, device
    struct Case
    {
        std::vector<Pair> created;
        std::vector<std::uint8_t> comms;
        std::vector<std::uint8_t> devicesOfFirst;
    };
    const Case cases[] = {
        {{{0, 5}, {0, 7}, {0, 3}}, {0}, {3, 5, 7}},
        {{{9, 1}, {2, 1}}, {2, 9}, {1}},
        {{{4, 10}, {4, 30}, {4, 20}, {4, 25}, {4, 0}}, {4}, {0, 10, 20, 25, 30}},
        {{{200, 200}, {1, 0}, {128, 1}, {1, 255}, {1, 128}, {1, 127}}, {1, 128, 200}, {0, 127, 128, 255}},
    };
    for (const auto& c : cases) {
        CDeviceRegistry registry;
        for (const auto& [comm, device] : c.created)
            registry.CreateDevice(comm, device);
        std::vector<std::uint8_t> comms;
        for (const auto& comm : registry.Comms())
            comms.push_back(comm->m_commNo);
        EXPECT_EQ(comms, c.comms);
        std::vector<std::uint8_t> devices;
        for (const auto& device : registry.Comms().front()->m_devices)
            devices.push_back(device->m_deviceNo);
        EXPECT_EQ(devices, c.devicesOfFirst);
    }
}

TEST(DeviceRegistry, FindsEveryDeviceOfALongShuffledTable)
{
    struct Case
    {
        std::size_t deviceCount;
        unsigned seed;
    };
    const Case cases[] = {{19, 1}, {20, 2}, {21, 3}, {25, 4}, {25, 5}, {64, 6}, {240, 7}, {256, 8}};
    for (const auto& c : cases) {
        std::vector<std::uint8_t> numbers(256);
        std::iota(numbers.begin(), numbers.end(), std::uint8_t{0});
        std::shuffle(numbers.begin(), numbers.end(), std::mt19937(c.seed));

        CDeviceRegistry registry;
        std::vector<CDeviceEntry*> entries;
        for (std::size_t i = 0; i < c.deviceCount; ++i)
            entries.push_back(registry.CreateDevice(7, numbers[i]));
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            CDeviceEntry* expected = i < c.deviceCount ? entries[i] : nullptr;
            EXPECT_EQ(registry.FindDevice(7, numbers[i]), expected) << c.deviceCount << ": " << +numbers[i];
        }
    }
}

TEST(CommEntry, FindDeviceInRangeSearchesOnlyItsRange)
{
    CCommEntry comm(1);
    for (int i = 0; i < 40; ++i) {
        auto entry = std::make_unique<CDeviceEntry>();
        entry->m_deviceNo = static_cast<std::uint8_t>(i * 2);
        comm.InsertDevice(std::move(entry));
    }
    struct Case
    {
        std::size_t start;
        std::size_t end;
        std::uint8_t device; // found exactly when even and 2*start <= device < 2*end, within the table
        bool found;
    };
    const Case cases[] = {
        {0, 40, 0, true},    {0, 40, 78, true},   {0, 40, 41, false},  {10, 35, 20, true},
        {10, 35, 68, true},  {10, 35, 18, false}, {10, 35, 70, false}, {5, 5, 10, false},
        {30, 10, 40, false}, {39, 500, 78, true}, // an end past the table is cut to its size
    };
    for (const auto& c : cases) {
        const CDeviceEntry* found = comm.FindDeviceInRange(c.start, c.end, c.device);
        EXPECT_EQ(found != nullptr, c.found) << c.start << ".." << c.end << " device " << +c.device;
        EXPECT_TRUE(found == nullptr || found->m_deviceNo == c.device);
    }
}

} // namespace
