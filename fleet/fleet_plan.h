#pragma once

#include "fleet/fleet_inputs.h"
#include "fleet/fleet_panels.h"
#include "protocol/endpoint.h"
#include "protocol/result.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>

namespace veltrano {

// What `fleet` is asked for, as its options give it.
struct FleetRequest
{
    std::uint32_t panels{1};
    std::string firstText{"0:0"};
    double heartbeatS{60};
    double eventsPerHour{0};
    int timeoutMs{1000};
    int retries{3};
    int retryIntervalMs{0}; // 0: the timeout
    double durationS{0};    // 0: until interrupted
    std::string fromText;   // empty: the address routing chooses
    std::uint64_t seed{1};
};

// The request's meaning, checked before anything is sent.
struct FleetPlan
{
    FleetConfig config;
    Endpoint to;                // the centre; the caller resolves it, a host name being I/O
    AddressRange sources{0, 0}; // first 0: no --from
    std::chrono::microseconds duration{0};
};

// This machine's own addresses, host byte order: asked for only when --from names one outside 127/8.
using LocalAddresses = std::function<std::set<std::uint32_t>()>;

// The plan, or the reason of a usage error in the order the options are checked: --first, the panel range,
// --heartbeat, --events, --duration, --from (every source loopback or this machine's).
[[nodiscard]] Result<FleetPlan> PlanFleet(const FleetRequest& request, const LocalAddresses& localAddresses);

// Which socket and source address a panel's datagrams leave from: the panels spread round-robin over every
// (address, socket) pair, the sockets turning fastest, so that neighbours differ in port first.
class FleetSources final
{
public:
    struct Source
    {
        std::size_t socket{0};
        std::uint32_t address{0}; // 0: the one routing chooses
    };

    FleetSources(const AddressRange& addresses, std::size_t sockets);

    Source Of(std::uint32_t panel) const;
    // Source addresses in use: 1 without --from.
    std::uint64_t Addresses() const { return m_addresses.first == 0 ? 1 : m_addresses.Size(); }

private:
    AddressRange m_addresses;
    std::size_t m_sockets{1};
};

} // namespace veltrano
