#include "fleet/fleet_plan.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace veltrano;

namespace {

using veltrano::FleetRequest;
using veltrano::FleetSources;
using veltrano::PlanFleet;

// Stand-ins for this machine's own addresses, from a documentation range: planning opens no socket.
constexpr std::uint32_t LAN_A = 0xC0000205; // 192.0.2.5
constexpr std::uint32_t LAN_B = 0xC0000206; // 192.0.2.6

// Each option is checked in its order, and a range of sources may hold only loopback and local addresses;
// the machine's addresses are looked up only for a range that leaves loopback.
TEST(FleetPlan, RefusesWhatCannotBeSentFromHere)
{
    struct Case
    {
        const char* name;
        const char* first;
        std::uint32_t panels;
        double heartbeatS;
        double eventsPerHour;
        double durationS;
        const char* from;
        std::string error; // empty: planned
        int lookups;
    };
    const std::string noRange = "--from: 192.0.2.7 is neither a loopback address nor one of this machine's";
    // clang-format off
    const Case cases[] = {
        {"defaults",                 "0:0",   1,    60,     0,     0,    "",                        "", 0},
        {"whole space",              "0:0",   57600, 1,     0,     0,    "",                        "", 0},
        {"bad first",                "0:240", 1,    60,     0,     0,    "",                        "--first: ", 0},
        {"past the last panel",      "239:239", 2,  60,     0,     0,    "",                        "2 panels", 0},
        {"heartbeat too short",      "0:0",   1,    0.0005, 0,     0,    "",                        "--heartbeat must be from 0.001 to 86400 seconds", 0},
        {"heartbeat too long",       "0:0",   1,    86401,  0,     0,    "",                        "--heartbeat must", 0},
        {"heartbeat not a number",   "0:0",   1,    NAN,    0,     0,    "",                        "--heartbeat must", 0},
        {"events negative",          "0:0",   1,    60,     -1,    0,    "",                        "--events must be from 0 to 3600000 per hour", 0},
        {"duration past a month",    "0:0",   1,    60,     0,     3e6,  "",                        "--duration must be from 0 to 2592000 seconds", 0},
        {"heartbeat before from",    "0:0",   1,    0,      0,     0,    "x",                       "--heartbeat", 0},
        {"from not an address",      "0:0",   1,    60,     0,     0,    "x",                       "--from: ", 0},
        {"loopback range",           "0:0",   1,    60,     0,     0,    "127.0.0.2-127.0.0.9",     "", 0},
        {"loopback only",            "0:0",   1,    60,     0,     0,    "127.0.0.1-127.0.0.200",   "", 0},
        {"a local address",          "0:0",   1,    60,     0,     0,    "192.0.2.5",               "", 1},
        {"a range of local addresses", "0:0", 1,    60,     0,     0,    "192.0.2.5-192.0.2.6",     "", 1},
        {"one not local in range",   "0:0",   1,    60,     0,     0,    "192.0.2.5-192.0.2.7",     noRange, 1},
        {"from loopback into lan",   "0:0",   1,    60,     0,     0,    "127.255.255.255-128.0.0.0", "--from: 128.0.0.0 is neither", 1},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FleetRequest request;
        request.firstText = c.first;
        request.panels = c.panels;
        request.heartbeatS = c.heartbeatS;
        request.eventsPerHour = c.eventsPerHour;
        request.durationS = c.durationS;
        request.fromText = c.from;
        int lookups = 0;
        const auto plan = PlanFleet(request, [&lookups] {
            ++lookups;
            return std::set<std::uint32_t>{LAN_A, LAN_B};
        });
        if (c.error.empty())
            EXPECT_TRUE(plan) << plan.error();
        else
            EXPECT_TRUE(!plan && plan.error().find(c.error) == 0) << (plan ? "" : plan.error());
        EXPECT_EQ(lookups, c.lookups);
    }
}

// Seconds and milliseconds become the panels' times; a retry interval of 0 is the timeout.
TEST(FleetPlan, TimesAndSourcesOfAPlan)
{
    struct Case
    {
        const char* name;
        double heartbeatS;
        int timeoutMs;
        int retryIntervalMs;
        double durationS;
        const char* from;
        std::chrono::microseconds heartbeat;
        std::chrono::microseconds retryInterval;
        std::chrono::microseconds duration;
        std::uint32_t firstSource;
    };
    using us = std::chrono::microseconds;
    // clang-format off
    const Case cases[] = {
        {"retry at the timeout", 0.25,  700, 0,   1.5,   "",          us{250'000}, us{700'000}, us{1'500'000}, 0},
        {"own retry interval",   60,    700, 200, 0,     "127.0.0.3", us{60'000'000}, us{200'000}, us{0}, 0x7F000003},
        {"rounded microseconds", 0.001, 1,   0,   1e-7,  "",          us{1000},    us{1000},    us{0},         0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FleetRequest request;
        request.firstText = "1:2";
        request.panels = 5;
        request.heartbeatS = c.heartbeatS;
        request.timeoutMs = c.timeoutMs;
        request.retryIntervalMs = c.retryIntervalMs;
        request.durationS = c.durationS;
        request.fromText = c.from;
        request.seed = 9;
        const auto plan = PlanFleet(request, [] { return std::set<std::uint32_t>{}; });
        ASSERT_TRUE(plan) << plan.error();
        EXPECT_EQ(plan->config.first, 242u);
        EXPECT_EQ(plan->config.panels, 5u);
        EXPECT_EQ(plan->config.heartbeat, c.heartbeat);
        EXPECT_EQ(plan->config.timeout, us{c.timeoutMs * 1000});
        EXPECT_EQ(plan->config.retryInterval, c.retryInterval);
        EXPECT_EQ(plan->config.seed, 9u);
        EXPECT_EQ(plan->duration, c.duration);
        EXPECT_EQ(plan->sources.first, c.firstSource);
    }
}

// Panels spread over every (address, socket) pair, sockets turning fastest, and wrap round.
TEST(FleetSources, SpreadsPanelsOverAddressesAndSockets)
{
    struct Case
    {
        const char* name;
        AddressRange addresses;
        std::size_t sockets;
        std::uint32_t panel;
        std::size_t socket;
        std::uint32_t address;
    };
    const AddressRange none{0, 0};
    const AddressRange three{0x7F000002, 0x7F000004};
    // clang-format off
    const Case cases[] = {
        {"one socket, routing",     none,  1, 17, 0, 0},
        {"sockets round robin",     none,  4, 6,  2, 0},
        {"first address, socket 1", three, 2, 1,  1, 0x7F000002},
        {"second address",          three, 2, 2,  0, 0x7F000003},
        {"last pair",               three, 2, 5,  1, 0x7F000004},
        {"wraps to the first",      three, 2, 6,  0, 0x7F000002},
        {"addresses alone",         three, 1, 4,  0, 0x7F000003},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto source = FleetSources(c.addresses, c.sockets).Of(c.panel);
        EXPECT_EQ(source.socket, c.socket);
        EXPECT_EQ(source.address, c.address);
    }
    EXPECT_EQ(FleetSources(none, 3).Addresses(), 1u);
    EXPECT_EQ(FleetSources(three, 3).Addresses(), 3u);
}

} // namespace
