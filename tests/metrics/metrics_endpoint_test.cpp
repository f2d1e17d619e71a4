#include "metrics/metrics_endpoint.h"

#include "protocol/acknowledgement.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

using namespace veltrano;

namespace {

using veltrano::MetricsEndpoint;
using veltrano::MetricsTotals;

std::unique_ptr<MetricsEndpoint> Unserved()
{
    auto endpoint = MetricsEndpoint::Start(Endpoint{0x7F000001, 0}, false);
    EXPECT_TRUE(endpoint) << endpoint.error();
    return std::move(*endpoint);
}

// A total as counted against the one wanted.
struct Count
{
    const char* name;
    std::uint64_t got;
    std::uint64_t wanted;
};
void ExpectCounts(std::initializer_list<Count> counts)
{
    for (const Count& c : counts)
        EXPECT_EQ(c.got, c.wanted) << c.name;
}

// The value of the sample `name` in the exposition; empty when absent.
std::string Sample(const std::string& exposition, const std::string& name)
{
    std::istringstream lines(exposition);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(name + " ", 0) == 0)
            return line.substr(name.size() + 1);
    return {};
}

bool HasLine(const std::string& exposition, const std::string& line)
{
    return exposition.find("\n" + line + "\n") != std::string::npos || exposition.rfind(line + "\n", 0) == 0;
}

// Every family a dashboard or an alert names keeps its name, type and help text.
TEST(MetricsEndpoint, FamiliesKeepTheirNamesTypesAndHelp)
{
    struct Case
    {
        const char* name;
        const char* type;
        const char* help;
    };
    // clang-format off
    const Case cases[] = {
        {"veltrano_frames_received_total",  "counter",   "Datagrams received."},
        {"veltrano_frames_sent_total",      "counter",   "Datagrams sent, retries included."},
        {"veltrano_acknowledgements_total", "counter",   "Acknowledgements sent or taken."},
        {"veltrano_retries_total",          "counter",   "Frames sent again for want of an acknowledgement."},
        {"veltrano_frames_lost_total",      "counter",   "Frames still unanswered after their retries."},
        {"veltrano_kernel_drops_total",     "counter",   "Datagrams the kernel dropped on full queues."},
        {"veltrano_panels_seen",            "gauge",     "Panels heard at least once, or simulated."},
        {"veltrano_panels_missing",         "gauge",     "Panels silent for longer than the limit."},
        {"veltrano_panels_in_alarm",        "gauge",     "Panels with a zone in alarm now."},
        {"veltrano_events_total",           "counter",   "Events the panels' frames carried, by the catalogue's key."},
        {"veltrano_round_trip_seconds",     "histogram", "Round trips from a send to its acknowledgement."},
    };
    // clang-format on
    const std::string text = Unserved()->Exposition();
    for (const Case& c : cases) {
        EXPECT_TRUE(HasLine(text, std::string("# TYPE ") + c.name + " " + c.type)) << c.name;
        EXPECT_TRUE(HasLine(text, std::string("# HELP ") + c.name + " " + c.help)) << c.name;
    }
}

// Totals are what a run counted so far: counters advance by the difference, never back, gauges follow. The
// events are one counter per catalogue key and one for status bits, each advanced by its own kind.
TEST(MetricsEndpoint, PublishAdvancesCountersToTheTotalsAndSetsGauges)
{
    struct Case
    {
        const char* name;
        std::vector<MetricsTotals> published; // one after the other
        std::vector<std::pair<std::string, const char*>> samples;
    };
    const auto events = [](std::size_t kind) {
        MetricsTotals totals;
        totals.events[kind] = 7;
        return totals;
    };
    const std::string received = "veltrano_frames_received_total", missing = "veltrano_panels_missing";
    // clang-format off
    const Case cases[] = {
        {"once", {{.framesReceived = 5, .panelsMissing = 2}}, {{received, "5"}, {missing, "2"}}},
        {"twice, not added up", {{.framesReceived = 5, .panelsMissing = 2}, {.framesReceived = 8, .panelsMissing = 1}}, {{received, "8"}, {missing, "1"}}},
        {"a total never undone", {{.framesReceived = 5}, {.framesReceived = 3}}, {{received, "5"}, {missing, "0"}}},
        {"events of the first row", {events(0)}, {{R"(veltrano_events_total{event="online"})", "7"}}},
        {"events of status bits", {events(veltrano::PanelBook::EVENT_KINDS - 1)}, {{R"(veltrano_events_total{event="status-bits"})", "7"}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto endpoint = Unserved();
        for (const MetricsTotals& totals : c.published)
            endpoint->Publish(totals);
        const std::string text = endpoint->Exposition();
        for (const auto& [sample, value] : c.samples)
            EXPECT_EQ(Sample(text, sample), value) << sample;
    }
}

// A fleet's counts land in the totals of the same name: one panel answered, two lost after their retries.
TEST(MetricsEndpoint, FleetTotalsByName)
{
    using namespace std::chrono_literals;
    FleetConfig config;
    config.panels = 3;
    config.heartbeat = 1s;
    config.retries = 2;
    config.retryInterval = 100ms;
    config.timeout = 100ms;
    const Endpoint centre{LOOPBACK_ADDRESS, 8015};
    const MonoTime start = MonoTime{} + 1h;
    FleetPanels fleet(config, centre, start);
    for (auto clock = 0ms; clock <= 2000ms; clock += 10ms) {
        std::vector<FleetPanels::Datagram> out;
        fleet.Tick(start + clock, out, 64);
        if (clock == 990ms) // one heartbeat each
            fleet.StopNewFrames();
        for (std::size_t i = 0; i < out.size(); ++i)
            if (out[i].panel == 0)
                fleet.Received(centre, std::get<AckFrame>(AcknowledgementFor(out[i].Frame())), start + clock,
                               out);
    }
    MetricsTotals totals{.framesReceived = 11, .kernelDrops = 12};
    veltrano::AddFleetTotals(totals, fleet);
    ExpectCounts({
        {"sent", totals.framesSent, 7},
        {"acknowledged", totals.acknowledgements, 1},
        {"retries", totals.retries, 4},
        {"lost", totals.framesLost, 2},
        {"panels", totals.panelsSeen, 3},
        {"received kept", totals.framesReceived, 11},
        {"drops kept", totals.kernelDrops, 12},
    });
}

// A centre's counts land in the totals of the same name; a copy of an answer is an answer sent, a refused
// one is not.
TEST(MetricsEndpoint, CentreTotalsByName)
{
    CentreCounts counts;
    counts.Received(false);
    counts.Received(true);
    counts.Received(false);
    CentreAnswer answer;
    counts.Sent(answer, 0);
    answer.duplicate = true;
    counts.Sent(answer, 0);
    counts.Sent(answer, 11); // refused
    MetricsTotals totals{.retries = 5, .kernelDrops = 12};
    veltrano::AddCentreTotals(totals, counts);
    ExpectCounts({
        {"received", totals.framesReceived, 3},
        {"sent", totals.framesSent, 2},
        {"acknowledgements", totals.acknowledgements, 2},
        {"retries kept", totals.retries, 5},
        {"drops kept", totals.kernelDrops, 12},
    });
}

// Round trips are microseconds in, seconds out: each lands in the bucket of its own size, at the next
// publish.
TEST(MetricsEndpoint, RoundTripsLandInTheirBucketsInSeconds)
{
    struct Case
    {
        const char* name;
        std::vector<std::int64_t> microseconds;
        std::string le1ms;  // cumulative count at 1 ms
        std::string le10ms; // and at 10 ms
        double sum;
    };
    // clang-format off
    const Case cases[] = {
        {"one of 1.5 ms",            {1500},            "0", "1", 0.0015},
        {"fast and slow",            {80, 900, 20'000}, "2", "2", 0.02098},
        {"beyond every bound",       {2'000'000},       "0", "0", 2.0},
        {"exactly on a bound",       {1000},            "1", "1", 0.001},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto endpoint = Unserved();
        for (const std::int64_t us : c.microseconds)
            endpoint->AddRoundTrip(us);
        EXPECT_EQ(Sample(endpoint->Exposition(), "veltrano_round_trip_seconds_count"), "0")
            << "kept until published";
        endpoint->Publish({});
        const std::string text = endpoint->Exposition();
        EXPECT_EQ(Sample(text, R"(veltrano_round_trip_seconds_bucket{le="0.001"})"), c.le1ms);
        EXPECT_EQ(Sample(text, R"(veltrano_round_trip_seconds_bucket{le="0.01"})"), c.le10ms);
        EXPECT_EQ(Sample(text, "veltrano_round_trip_seconds_count"), std::to_string(c.microseconds.size()));
        EXPECT_NEAR(std::stod("0" + Sample(text, "veltrano_round_trip_seconds_sum")), c.sum, 1e-9);
    }
}

// A port already taken is a reason, not a throw out of the run.
TEST(MetricsEndpoint, APortInUseIsAReason)
{
    auto first = MetricsEndpoint::Start(Endpoint{0x7F000001, 0});
    ASSERT_TRUE(first) << first.error();
    const auto port = static_cast<std::uint16_t>(std::stoi((*first)->Address().substr(10)));
    auto second = MetricsEndpoint::Start(Endpoint{0x7F000001, port});
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().rfind("cannot serve metrics on 127.0.0.1:" + std::to_string(port) + ": ", 0), 0u)
        << second.error();
}

} // namespace
