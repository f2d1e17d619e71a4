#pragma once

#include "book/panel_book.h"
#include "fleet/fleet_panels.h"
#include "link/centre_answers.h"
#include "protocol/endpoint.h"
#include "protocol/result.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace prometheus {
class Counter;
class Exposer;
class Gauge;
class Histogram;
class Registry;
} // namespace prometheus

namespace veltrano {

// How often a run hands its totals to the endpoint.
inline constexpr std::chrono::milliseconds METRICS_PUBLISH_PERIOD{250};

// What a proxy has counted so far, each direction's counts indexed up (0) and down (1).
struct ProxyTotals
{
    std::array<std::uint64_t, 2> forwarded{};
    std::array<std::uint64_t, 2> faulted{};
    std::uint64_t sessions{0}; // open now
    std::uint64_t sessionsOpened{0};
    std::uint64_t sessionsRefused{0};
};

// What a run has counted so far; the endpoint turns the totals into counters.
struct MetricsTotals
{
    std::uint64_t framesReceived{0};
    std::uint64_t framesSent{0};
    std::uint64_t acknowledgements{0};
    std::uint64_t retries{0};
    std::uint64_t framesLost{0};
    std::uint64_t kernelDrops{0};
    std::uint64_t panelsSeen{0};
    std::uint64_t panelsMissing{0};
    std::uint64_t panelsInAlarm{0}; // panels with a zone in alarm now
    // Events the panels' frames carried, by PanelBook kind: the catalogue's rows, then status bits.
    std::array<std::uint64_t, PanelBook::EVENT_KINDS> events{};
    std::optional<ProxyTotals> proxy{}; // a proxy's alone: its families appear with it
};

// The panels, those missing and in alarm, and the events by kind, as the book counts them now.
void AddBookTotals(MetricsTotals& totals, const PanelBook& book);
// The datagrams a centre took and the answers it sent (copies included), as it counts them now.
void AddCentreTotals(MetricsTotals& totals, const CentreCounts& counts);
// The frames sent, acknowledged, retried and lost, and the panels, as a fleet counts them now.
void AddFleetTotals(MetricsTotals& totals, const FleetPanels& fleet);

// Prometheus text on /metrics, served by the exposer's own threads. The event loop hands over totals and
// round trips a batch at a time (Publish), never a lock per frame.
class MetricsEndpoint final
{
public:
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Listening, or why not ("cannot serve metrics on 127.0.0.1:80: ..."); none listening for `serve`
    // false, for reading the families through Exposition alone.
    [[nodiscard]] static Result<std::unique_ptr<MetricsEndpoint>> Start(const Endpoint& where,
                                                                        bool serve = true);

    // "127.0.0.1:9100", the port the system chose included.
    const std::string& Address() const { return m_address; }
    // A round trip, kept here until the next Publish.
    void AddRoundTrip(std::int64_t microseconds);
    void Publish(const MetricsTotals& totals);
    // What a scrape gets now.
    std::string Exposition() const;

private:
    // Upper bounds of the round-trip buckets, in seconds.
    static constexpr std::array<double, 12> BOUNDS{0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                   0.01,   0.025,   0.05,   0.1,   0.5,    1.0};

    MetricsEndpoint();
    void RegisterFamilies();
    void RegisterProxyFamilies();
    void PublishProxy(const ProxyTotals& totals);

    std::shared_ptr<prometheus::Registry> m_registry;
    std::unique_ptr<prometheus::Exposer> m_exposer;
    std::string m_address;
    prometheus::Counter* m_received{nullptr};
    prometheus::Counter* m_sent{nullptr};
    prometheus::Counter* m_acks{nullptr};
    prometheus::Counter* m_retries{nullptr};
    prometheus::Counter* m_lost{nullptr};
    prometheus::Counter* m_drops{nullptr};
    prometheus::Gauge* m_seen{nullptr};
    prometheus::Gauge* m_missing{nullptr};
    prometheus::Gauge* m_inAlarm{nullptr};
    std::array<prometheus::Counter*, PanelBook::EVENT_KINDS> m_events{};
    prometheus::Histogram* m_roundTrips{nullptr};
    std::array<prometheus::Counter*, 2> m_proxyForwarded{};
    std::array<prometheus::Counter*, 2> m_proxyFaulted{};
    prometheus::Gauge* m_proxySessions{nullptr};
    prometheus::Counter* m_proxyOpened{nullptr};
    prometheus::Counter* m_proxyRefused{nullptr};
    MetricsTotals m_published;
    std::array<double, BOUNDS.size() + 1> m_pendingBuckets{};
    double m_pendingSum{0};
    bool m_pending{false};
};

} // namespace veltrano
