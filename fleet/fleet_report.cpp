#include "fleet/fleet_report.h"

#include "link/json_line.h"

#include <fmt/format.h>

namespace veltrano {

std::string FleetPanelName(std::uint32_t index)
{
    return fmt::format("{}:{}", PanelComm(index), PanelDev(index));
}

std::string LostPanelNames(std::uint32_t first, std::span<const std::uint32_t> lost, std::size_t shown)
{
    std::string names;
    for (std::size_t i = 0; i < lost.size() && i < shown; ++i) {
        if (i != 0)
            names += ",";
        names += FleetPanelName(first + lost[i]);
    }
    if (lost.size() > shown)
        names += ",...";
    return names;
}

std::string LostPanelNames(const FleetPanels& panels, std::uint32_t first, std::size_t shown)
{
    return LostPanelNames(first, panels.LostPanels(), shown);
}

std::string FleetStartLine(const FleetPlan& plan, int sockets)
{
    return fmt::format(
        "fleet of {} panels from {} to {}, heartbeat {:.3f} s, {} source address(es) x {} port(s)\n",
        plan.config.panels, FleetPanelName(plan.config.first), plan.to.ToString(),
        static_cast<double>(plan.config.heartbeat.count()) / 1e6, FleetSources(plan.sources, 1).Addresses(),
        sockets);
}

std::string FleetProgressLine(const FleetPanels& panels, std::uint64_t sentBefore)
{
    const auto totals = panels.Totals();
    return fmt::format("panels {}  frames/s {}  acknowledged {}  retried {}  lost {}  rtt p99 {} us\n",
                       panels.Size(), totals.sent - sentBefore, totals.acknowledged, totals.retried,
                       totals.lost, panels.RoundTripTimes().Percentile(0.99));
}

std::vector<Verdict> FleetVerdicts(const FleetPanels& panels, std::uint32_t first)
{
    const auto lost = panels.LostPanels();
    const std::uint32_t last = first + panels.Size() - 1;
    std::vector<Verdict> verdicts;
    auto lostAt = lost.begin();
    for (std::uint32_t comm = PanelComm(first); comm <= PanelComm(last); ++comm) {
        std::string names;
        while (lostAt != lost.end() && PanelComm(first + *lostAt) == comm) {
            if (!names.empty())
                names += ' ';
            names += FleetPanelName(first + *lostAt++);
        }
        Verdict verdict;
        verdict.id = "comm " + std::to_string(comm);
        verdict.classname = "fleet";
        verdict.outcome = names.empty() ? Outcome::Passed : Outcome::Failed;
        if (!names.empty()) {
            verdict.message = "panels lost a frame";
            verdict.details = std::move(names);
        }
        verdicts.push_back(std::move(verdict));
    }
    return verdicts;
}

void AppendKindLines(std::string& out, OutputFormat format, const FleetPanels& panels)
{
    const auto& kinds = panels.Kinds();
    for (std::size_t kind = 0; kind < kinds.size(); ++kind) {
        const auto& k = kinds[kind];
        if (k.sent == 0)
            continue;
        if (format == OutputFormat::JsonLines)
            JsonLine(out)
                .Text("type", "kind")
                .Text("kind", FleetPanels::KindName(kind))
                .Number("sent", k.sent)
                .Number("acknowledged", k.acknowledged)
                .Number("retried", k.retried)
                .Number("lost", k.lost)
                .End();
        else
            out += fmt::format("kind {} sent={} acknowledged={} retried={} lost={}\n",
                               FleetPanels::KindName(kind), k.sent, k.acknowledged, k.retried, k.lost);
    }
}

std::vector<RecordField> FleetSummaryFields(const FleetPanels& panels, const FleetIoCounts& io,
                                            std::uint64_t kernelDrops, std::string_view lostNames,
                                            int exitCode)
{
    const auto totals = panels.Totals();
    const RoundTrips& rtt = panels.RoundTripTimes();
    return {
        {"panels", std::uint64_t{panels.Size()}},
        {"sent", totals.sent},
        {"acknowledged", totals.acknowledged},
        {"retried", totals.retried},
        {"lost", totals.lost},
        {"waiting_at_exit", static_cast<std::uint64_t>(panels.Waiting())},
        {"received", io.received},
        {"unexpected", io.unexpected},
        {"send_failed", io.sendFailed},
        {"kernel_drops", kernelDrops},
        {"rtt_p50_us", rtt.Percentile(0.50)},
        {"rtt_p90_us", rtt.Percentile(0.90)},
        {"rtt_p99_us", rtt.Percentile(0.99)},
        {"rtt_max_us", rtt.Max()},
        {"lost_panels", lostNames},
        {"exit", std::int64_t{exitCode}},
    };
}

} // namespace veltrano
