#include "fleet/fleet_report.h"

#include "protocol/acknowledgement.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <variant>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;

const Endpoint CENTRE{LOOPBACK_ADDRESS, 8015};
const MonoTime START = MonoTime{} + 1h;

// A fleet run in simulated time past its first heartbeat (one each), the centre answering only the panels in
// `answered` (counted from the fleet's first); the others lose their frame.
std::unique_ptr<FleetPanels> RunFleet(std::uint32_t first, std::uint32_t panels,
                                      const std::set<std::uint32_t>& answered)
{
    FleetConfig config;
    config.first = first;
    config.panels = panels;
    config.heartbeat = 1s;
    config.retries = 1;
    config.retryInterval = 100ms;
    config.timeout = 100ms;
    auto fleet = std::make_unique<FleetPanels>(config, CENTRE, START);
    for (auto clock = 0ms; clock <= 3000ms; clock += 10ms) {
        std::vector<FleetPanels::Datagram> out;
        fleet->Tick(START + clock, out, 1 << 16);
        if (clock == 1000ms)        // every first heartbeat went, no second one
            fleet->StopNewFrames(); // those out still settle
        for (std::size_t i = 0; i < out.size(); ++i) {
            const FleetPanels::Datagram datagram = out[i];
            if (answered.contains(datagram.panel))
                fleet->Received(CENTRE, std::get<AckFrame>(AcknowledgementFor(datagram.Frame())),
                                START + clock + 1ms, out);
        }
    }
    return fleet;
}

TEST(FleetReport, LostPanelNamesStopAtTheLimit)
{
    struct Case
    {
        const char* name;
        std::uint32_t first;
        std::vector<std::uint32_t> lost;
        std::size_t shown;
        std::string names;
    };
    // clang-format off
    const Case cases[] = {
        {"none",                   0,   {},        32, ""},
        {"across a communicator",  239, {0, 1, 3}, 32, "0:239,1:0,1:2"},
        {"exactly the limit",      0,   {4, 5},    2,  "0:4,0:5"},
        {"one past the limit",     0,   {4, 5, 6}, 2,  "0:4,0:5,..."},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(veltrano::LostPanelNames(c.first, c.lost, c.shown), c.names) << c.name;
}

// A case per communicator the fleet covers, failing with every panel of it that lost a frame.
TEST(FleetReport, AVerdictPerCommunicatorNamesItsLostPanels)
{
    struct Case
    {
        const char* name;
        std::uint32_t first;
        std::uint32_t panels;
        std::set<std::uint32_t> answered;
        std::vector<std::string> ids;
        std::vector<std::string> details; // empty: passed
    };
    // clang-format off
    const Case cases[] = {
        {"all answered",        238, 4, {0, 1, 2, 3}, {"comm 0", "comm 1"}, {"", ""}},
        {"lost in the second",  238, 4, {0, 1, 3},    {"comm 0", "comm 1"}, {"", "1:0"}},
        {"lost in both",        238, 4, {2},          {"comm 0", "comm 1"}, {"0:238 0:239", "1:1"}},
        {"one communicator",    5,   2, {},           {"comm 0"},           {"0:5 0:6"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = RunFleet(c.first, c.panels, c.answered);
        const FleetPanels& fleet = *run;
        const auto verdicts = veltrano::FleetVerdicts(fleet, c.first);
        ASSERT_EQ(verdicts.size(), c.ids.size());
        for (std::size_t i = 0; i < verdicts.size(); ++i) {
            EXPECT_EQ(verdicts[i].id, c.ids[i]);
            EXPECT_EQ(verdicts[i].classname, "fleet");
            EXPECT_EQ(verdicts[i].outcome, c.details[i].empty() ? Outcome::Passed : Outcome::Failed);
            EXPECT_EQ(verdicts[i].details, c.details[i]);
            EXPECT_EQ(verdicts[i].message, c.details[i].empty() ? "" : "panels lost a frame");
        }
    }
}

// Without events only heartbeats go: one line, its counts those of the whole fleet.
TEST(FleetReport, KindLinesOnlyForKindsSent)
{
    const auto run = RunFleet(0, 2, {0});
    const FleetPanels& fleet = *run;
    const auto t = fleet.Totals();
    ASSERT_EQ(t.lost, 1u);
    ASSERT_EQ(t.retried, 1u);
    struct Case
    {
        const char* name;
        veltrano::OutputFormat format;
        std::string lines;
    };
    const Case cases[] = {
        {"text", veltrano::OutputFormat::Text,
         fmt::format("kind heartbeat sent={} acknowledged={} retried=1 lost=1\n", t.sent, t.acknowledged)},
        {"json", veltrano::OutputFormat::JsonLines,
         fmt::format("{{\"type\":\"kind\",\"kind\":\"heartbeat\",\"sent\":{},\"acknowledged\":{},"
                     "\"retried\":1,\"lost\":1}}\n",
                     t.sent, t.acknowledged)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        veltrano::AppendKindLines(out, c.format, fleet);
        EXPECT_EQ(out, c.lines);
    }
}

// The summary's keys stay in their order, each with its own count.
TEST(FleetReport, SummaryFieldsInTheirOrder)
{
    using Value = decltype(RecordField::value);
    const auto run = RunFleet(0, 2, {0});
    const FleetPanels& fleet = *run;
    const auto t = fleet.Totals();
    const auto& rtt = fleet.RoundTripTimes();
    const veltrano::FleetIoCounts io{.received = 70, .unexpected = 60, .sendFailed = 50};
    struct Want
    {
        const char* key;
        Value value;
    };
    const Want wanted[] = {
        {"panels", std::uint64_t{2}},
        {"sent", t.sent},
        {"acknowledged", t.acknowledged},
        {"retried", std::uint64_t{1}},
        {"lost", std::uint64_t{1}},
        {"waiting_at_exit", std::uint64_t{0}},
        {"received", std::uint64_t{70}},
        {"unexpected", std::uint64_t{60}},
        {"send_failed", std::uint64_t{50}},
        {"kernel_drops", std::uint64_t{40}},
        {"rtt_p50_us", rtt.Percentile(0.50)},
        {"rtt_p90_us", rtt.Percentile(0.90)},
        {"rtt_p99_us", rtt.Percentile(0.99)},
        {"rtt_max_us", rtt.Max()},
        {"lost_panels", std::string_view("0:1")},
        {"exit", std::int64_t{1}},
    };
    const auto fields = veltrano::FleetSummaryFields(fleet, io, 40, "0:1", 1);
    ASSERT_EQ(fields.size(), std::size(wanted));
    for (std::size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(fields[i].key, wanted[i].key) << i;
        EXPECT_EQ(fields[i].value, wanted[i].value) << wanted[i].key;
    }
}

TEST(FleetReport, StartAndProgressLines)
{
    veltrano::FleetPlan plan;
    plan.config.first = 241;
    plan.config.panels = 3;
    plan.config.heartbeat = 1500ms;
    plan.to = {0x7F000001, 8015};
    plan.sources = {0x7F000002, 0x7F000005};
    EXPECT_EQ(veltrano::FleetStartLine(plan, 2),
              "fleet of 3 panels from 1:1 to 127.0.0.1:8015, heartbeat 1.500 s, "
              "4 source address(es) x 2 port(s)\n");
    plan.sources = {};
    EXPECT_EQ(veltrano::FleetStartLine(plan, 1),
              "fleet of 3 panels from 1:1 to 127.0.0.1:8015, heartbeat 1.500 s, "
              "1 source address(es) x 1 port(s)\n");
    const auto run = RunFleet(0, 2, {0});
    const FleetPanels& fleet = *run;
    const auto t = fleet.Totals();
    EXPECT_EQ(veltrano::FleetProgressLine(fleet, 1),
              fmt::format("panels 2  frames/s {}  acknowledged {}  retried 1  lost 1  rtt p99 {} us\n",
                          t.sent - 1, t.acknowledged, fleet.RoundTripTimes().Percentile(0.99)));
}

} // namespace
