#include "registry/device_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

namespace {

using Pair = std::pair<std::uint8_t, std::uint8_t>; // communicator, device

std::vector<std::uint8_t> CommNumbers(const CDeviceRegistry& registry)
{
    std::vector<std::uint8_t> numbers;
    for (const auto& comm : registry.Comms())
        numbers.push_back(comm->m_commNo);
    return numbers;
}

std::vector<std::uint8_t> DeviceNumbers(const CCommEntry& comm)
{
    std::vector<std::uint8_t> numbers;
    for (const auto& device : comm.m_devices)
        numbers.push_back(device->m_deviceNo);
    return numbers;
}

TEST(DeviceRegistry, NewDeviceStartsFromDefaultsAndKeepsItsStatus)
{
    CDeviceRegistry registry;
    EXPECT_EQ(registry.FindDevice(0, 1), nullptr);

    CDeviceEntry* created = registry.CreateDevice(0, 1);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->m_deviceNo, 1);
    EXPECT_EQ(created->m_status, (StatusBytes{0x00, 0x11, 0x00, 0x00}));
    EXPECT_EQ(created->m_owner, registry.FindComm(0));

    created->m_status[ZoneAlarm] |= ZONE_SET_MASK[0];
    CDeviceEntry* found = registry.FindDevice(0, 1);
    EXPECT_EQ(found, created);
    EXPECT_EQ(found->m_status, (StatusBytes{0x01, 0x11, 0x00, 0x00}));
}

TEST(DeviceRegistry, TablesStayOrderedAsUnsignedNumbers)
{
    struct Case
    {
        const char* name;
        std::vector<Pair> created;
        std::vector<std::uint8_t> comms;
        std::vector<std::uint8_t> devicesOfFirst;
    };
    const Case cases[] = {
        {"devices 5 7 3", {{0, 5}, {0, 7}, {0, 3}}, {0}, {3, 5, 7}},
        {"comms 9 2", {{9, 1}, {2, 1}}, {2, 9}, {1}},
        {"high bit compares unsigned",
         {{200, 200}, {1, 0}, {128, 1}, {1, 255}, {1, 128}, {1, 127}},
         {1, 128, 200},
         {0, 127, 128, 255}},
        {"insert in the middle", {{4, 10}, {4, 30}, {4, 20}, {4, 25}, {4, 0}}, {4}, {0, 10, 20, 25, 30}},
    };
    for (const auto& c : cases) {
        CDeviceRegistry registry;
        for (const auto& [comm, device] : c.created)
            registry.CreateDevice(comm, device);
        EXPECT_EQ(CommNumbers(registry), c.comms) << c.name;
        ASSERT_FALSE(registry.Comms().empty()) << c.name;
        EXPECT_EQ(DeviceNumbers(*registry.Comms().front()), c.devicesOfFirst) << c.name;
        for (const auto& comm : registry.Comms()) {
            for (const auto& device : comm->m_devices)
                EXPECT_EQ(device->m_owner, comm.get()) << c.name;
        }
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
        std::mt19937 random(c.seed);
        std::vector<std::uint8_t> all(256);
        std::iota(all.begin(), all.end(), std::uint8_t{0});
        std::shuffle(all.begin(), all.end(), random);
        const std::vector<std::uint8_t> created(all.begin(), all.begin() + static_cast<long>(c.deviceCount));

        CDeviceRegistry registry;
        std::vector<CDeviceEntry*> entries;
        for (const std::uint8_t device : created)
            entries.push_back(registry.CreateDevice(7, device));

        ASSERT_EQ(registry.FindComm(7)->m_devices.size(), c.deviceCount);
        for (std::size_t i = 0; i < created.size(); ++i)
            EXPECT_EQ(registry.FindDevice(7, created[i]), entries[i]) << "device " << +created[i];
        for (std::size_t i = c.deviceCount; i < all.size(); ++i)
            EXPECT_EQ(registry.FindDevice(7, all[i]), nullptr) << "device " << +all[i];
        EXPECT_EQ(registry.FindDevice(8, created.front()), nullptr);
    }
}

TEST(DeviceRegistry, SameDeviceNumberUnderTwoCommunicatorsIsIndependent)
{
    CDeviceRegistry registry;
    CDeviceEntry* first = registry.CreateDevice(3, 7);
    CDeviceEntry* second = registry.CreateDevice(4, 7);
    ASSERT_NE(first, second);
    first->m_status[DeviceFlags] = 0x02;

    EXPECT_EQ(registry.FindDevice(3, 7), first);
    EXPECT_EQ(registry.FindDevice(4, 7), second);
    EXPECT_EQ(second->m_status, DEFAULT_STATUS);
    EXPECT_NE(first->m_owner, second->m_owner);
}

TEST(CommEntry, FindDeviceInRangeSearchesOnlyItsRange)
{
    CCommEntry comm(1);
    for (int device = 0; device < 40; ++device) {
        auto entry = std::make_unique<CDeviceEntry>();
        entry->m_deviceNo = static_cast<std::uint8_t>(device * 2); // index i holds 2i
        comm.InsertDevice(std::move(entry));
    }
    struct Case
    {
        std::size_t start;
        std::size_t end;
        std::uint8_t device;
        bool found;
    };
    const Case cases[] = {
        {0, 40, 0, true},   {0, 40, 78, true},   {0, 40, 40, true},   {0, 40, 41, false},
        {10, 35, 20, true}, {10, 35, 68, true},  {10, 35, 18, false}, {10, 35, 70, false},
        {5, 5, 10, false},  {30, 10, 40, false}, // empty and inverted ranges
        {0, 500, 78, true}, {39, 500, 78, true}, // an end past the table is cut to its size
    };
    for (const auto& c : cases) {
        const CDeviceEntry* found = comm.FindDeviceInRange(c.start, c.end, c.device);
        EXPECT_EQ(found != nullptr, c.found) << c.start << ".." << c.end << " device " << +c.device;
        if (found != nullptr) {
            EXPECT_EQ(found->m_deviceNo, c.device);
        }
    }
}

} // namespace
