#pragma once

#include "fleet/fleet_panels.h"
#include "fleet/fleet_plan.h"
#include "link/frame_record.h"
#include "link/output_format.h"
#include "verdict/verdict.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace veltrano {

// What the fleet's sockets counted beside its panels.
struct FleetIoCounts
{
    std::uint64_t received{0};
    std::uint64_t unexpected{0}; // datagrams that answered no frame out
    std::uint64_t sendFailed{0};
};

// The summary line names at most this many of the panels that lost a frame; the JUnit file names them all.
inline constexpr std::size_t LOST_PANELS_SHOWN = 32;

// "C:D" of a panel in the sweep's order.
std::string FleetPanelName(std::uint32_t index);

// "0:3,0:7", at most `shown` of the lost panels (counted from `first`), then ",..." when there are more.
std::string LostPanelNames(std::uint32_t first, std::span<const std::uint32_t> lost, std::size_t shown);
// The same of the fleet's panels that lost a frame.
std::string LostPanelNames(const FleetPanels& panels, std::uint32_t first, std::size_t shown);

// What the fleet tells on stderr as it starts, with its newline: "fleet of N panels from C:D to
// HOST:PORT, heartbeat S s, A source address(es) x P port(s)".
std::string FleetStartLine(const FleetPlan& plan, int sockets);

// The progress line of a terminal, with its newline; `sentBefore` the datagrams sent at the previous one, a
// second ago.
std::string FleetProgressLine(const FleetPanels& panels, std::uint64_t sentBefore);

// One case per communicator of the fleet, "comm C": it fails naming the panels that lost a frame.
std::vector<Verdict> FleetVerdicts(const FleetPanels& panels, std::uint32_t first);

// A line per kind of frame that was sent: its counts, as text or a JSON object of type "kind".
void AppendKindLines(std::string& out, OutputFormat format, const FleetPanels& panels);

// The fields of the fleet's summary; `lostNames` (LostPanelNames) must outlive them.
std::vector<RecordField> FleetSummaryFields(const FleetPanels& panels, const FleetIoCounts& io,
                                            std::uint64_t kernelDrops, std::string_view lostNames,
                                            int exitCode);

} // namespace veltrano
