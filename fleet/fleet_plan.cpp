#include "fleet/fleet_plan.h"

#include <fmt/format.h>

#include <cmath>

namespace veltrano {

namespace {

// Every address of the range is loopback or this machine's; the first that is not otherwise.
Status CheckSourcesAreLocal(const AddressRange& sources, const LocalAddresses& localAddresses)
{
    if (IsLoopback(sources.first) && IsLoopback(sources.last))
        return {};
    const auto local = localAddresses();
    for (std::uint64_t a = sources.first; a <= sources.last; ++a)
        if (!IsLoopback(static_cast<std::uint32_t>(a)) && !local.contains(static_cast<std::uint32_t>(a)))
            return Failure(fmt::format("--from: {}.{}.{}.{} is neither a loopback address nor one of "
                                       "this machine's",
                                       a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF));
    return {};
}

} // namespace

Result<FleetPlan> PlanFleet(const FleetRequest& request, const LocalAddresses& localAddresses)
{
    FleetPlan plan;
    auto first = ParsePanelNumber(request.firstText);
    if (!first)
        return Failure("--first: " + first.error());
    if (auto range = CheckPanelRange(*first, request.panels); !range)
        return Failure(range.error());
    if (!(request.heartbeatS >= 0.001) || request.heartbeatS > 86400)
        return Failure("--heartbeat must be from 0.001 to 86400 seconds");
    if (!(request.eventsPerHour >= 0) || request.eventsPerHour > 3.6e6)
        return Failure("--events must be from 0 to 3600000 per hour");
    if (!(request.durationS >= 0) || request.durationS > static_cast<double>(MAX_FLEET_RUN.count()))
        return Failure(fmt::format("--duration must be from 0 to {} seconds", MAX_FLEET_RUN.count()));
    if (!request.fromText.empty()) {
        auto sources = ParseAddressRange(request.fromText);
        if (!sources)
            return Failure("--from: " + sources.error());
        if (auto local = CheckSourcesAreLocal(*sources, localAddresses); !local)
            return Failure(local.error());
        plan.sources = *sources;
    }

    FleetConfig& config = plan.config;
    config.first = *first;
    config.panels = request.panels;
    config.heartbeat = std::chrono::microseconds(std::llround(request.heartbeatS * 1e6));
    config.eventsPerHour = request.eventsPerHour;
    config.timeout = std::chrono::milliseconds(request.timeoutMs);
    config.retryInterval =
        std::chrono::milliseconds(request.retryIntervalMs > 0 ? request.retryIntervalMs : request.timeoutMs);
    config.retries = static_cast<std::uint32_t>(request.retries);
    config.seed = request.seed;
    plan.duration = std::chrono::microseconds(std::llround(request.durationS * 1e6));
    return plan;
}

FleetSources::FleetSources(const AddressRange& addresses, std::size_t sockets)
    : m_addresses(addresses), m_sockets(sockets == 0 ? 1 : sockets)
{}

FleetSources::Source FleetSources::Of(std::uint32_t panel) const
{
    const std::uint64_t source = panel % (Addresses() * m_sockets);
    const auto address =
        m_addresses.first == 0 ? 0 : static_cast<std::uint32_t>(m_addresses.first + source / m_sockets);
    return {static_cast<std::size_t>(source % m_sockets), address};
}

} // namespace veltrano
