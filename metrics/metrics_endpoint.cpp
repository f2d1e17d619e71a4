#include "metrics/metrics_endpoint.h"

#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <exception>
#include <vector>

namespace veltrano {

namespace {

// Enough workers that a client holding a connection open does not stop a scrape, and a bound on how long
// one may hold it.
constexpr const char* WORKER_THREADS = "4";
constexpr const char* REQUEST_TIMEOUT_MS = "3000";

void Advance(prometheus::Counter* counter, std::uint64_t total, std::uint64_t& published)
{
    if (total > published)
        counter->Increment(static_cast<double>(total - published));
    published = total;
}

} // namespace

void AddBookTotals(MetricsTotals& totals, const PanelBook& book)
{
    totals.panelsSeen = book.size();
    totals.panelsMissing = book.MissingNow();
    totals.panelsInAlarm = book.InAlarmNow();
    for (std::size_t kind = 0; kind < totals.events.size(); ++kind)
        totals.events[kind] = book.EventsOfKind(kind);
}

void AddCentreTotals(MetricsTotals& totals, const CentreCounts& counts)
{
    totals.framesReceived = counts.ReceivedCount();
    totals.framesSent = counts.AcksSent();
    totals.acknowledgements = counts.AcksSent();
}

void AddFleetTotals(MetricsTotals& totals, const FleetPanels& fleet)
{
    const auto counts = fleet.Totals();
    totals.framesSent = counts.sent;
    totals.acknowledgements = counts.acknowledged;
    totals.retries = counts.retried;
    totals.framesLost = counts.lost;
    totals.panelsSeen = fleet.Size();
}

MetricsEndpoint::MetricsEndpoint() : m_registry(std::make_shared<prometheus::Registry>()) {}

MetricsEndpoint::~MetricsEndpoint() = default;

Result<std::unique_ptr<MetricsEndpoint>> MetricsEndpoint::Start(const Endpoint& where, bool serve)
{
    std::unique_ptr<MetricsEndpoint> metrics(new MetricsEndpoint());
    metrics->m_address = where.ToString();
    metrics->RegisterFamilies();
    if (!serve)
        return metrics;
    try {
        metrics->m_exposer = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", metrics->m_address, "num_threads", WORKER_THREADS,
                                     "request_timeout_ms", REQUEST_TIMEOUT_MS});
    } catch (const std::exception& e) {
        return Failure("cannot serve metrics on " + metrics->m_address + ": " + e.what());
    }
    const auto ports = metrics->m_exposer->GetListeningPorts();
    metrics->m_address =
        Endpoint{where.address, static_cast<std::uint16_t>(ports.empty() ? where.port : ports.front())}
            .ToString();
    metrics->m_exposer->RegisterCollectable(metrics->m_registry);
    return metrics;
}

void MetricsEndpoint::RegisterFamilies()
{
    auto& registry = *m_registry;
    const auto counter = [&registry](const char* name, const char* help) {
        return &prometheus::BuildCounter().Name(name).Help(help).Register(registry).Add({});
    };
    const auto gauge = [&registry](const char* name, const char* help) {
        return &prometheus::BuildGauge().Name(name).Help(help).Register(registry).Add({});
    };
    m_received = counter("veltrano_frames_received_total", "Datagrams received.");
    m_sent = counter("veltrano_frames_sent_total", "Datagrams sent, retries included.");
    m_acks = counter("veltrano_acknowledgements_total", "Acknowledgements sent or taken.");
    m_retries = counter("veltrano_retries_total", "Frames sent again for want of an acknowledgement.");
    m_lost = counter("veltrano_frames_lost_total", "Frames still unanswered after their retries.");
    m_drops = counter("veltrano_kernel_drops_total", "Datagrams the kernel dropped on full queues.");
    m_seen = gauge("veltrano_panels_seen", "Panels heard at least once, or simulated.");
    m_missing = gauge("veltrano_panels_missing", "Panels silent for longer than the limit.");
    m_inAlarm = gauge("veltrano_panels_in_alarm", "Panels with a zone in alarm now.");
    auto& events = prometheus::BuildCounter()
                       .Name("veltrano_events_total")
                       .Help("Events the panels' frames carried, by the catalogue's key.")
                       .Register(registry);
    for (std::size_t kind = 0; kind < m_events.size(); ++kind) {
        const PanelEvent event{kind + 1 < m_events.size() ? static_cast<std::uint8_t>(kind)
                                                          : STATUS_BITS_EVENT};
        m_events[kind] = &events.Add({{"event", std::string(EventKey(event))}});
    }
    m_roundTrips = &prometheus::BuildHistogram()
                        .Name("veltrano_round_trip_seconds")
                        .Help("Round trips from a send to its acknowledgement.")
                        .Register(registry)
                        .Add({}, prometheus::Histogram::BucketBoundaries(BOUNDS.begin(), BOUNDS.end()));
}

void MetricsEndpoint::RegisterProxyFamilies()
{
    auto& registry = *m_registry;
    auto& forwarded = prometheus::BuildCounter()
                          .Name("veltrano_proxy_forwarded_total")
                          .Help("Datagrams the proxy forwarded, copies included, by direction.")
                          .Register(registry);
    auto& faulted = prometheus::BuildCounter()
                        .Name("veltrano_proxy_faulted_total")
                        .Help("Datagrams a fault rule acted on, drops included, by direction.")
                        .Register(registry);
    constexpr std::array<const char*, 2> WAYS{"up", "down"};
    for (std::size_t way = 0; way < WAYS.size(); ++way) {
        m_proxyForwarded[way] = &forwarded.Add({{"direction", WAYS[way]}});
        m_proxyFaulted[way] = &faulted.Add({{"direction", WAYS[way]}});
    }
    m_proxySessions = &prometheus::BuildGauge()
                           .Name("veltrano_proxy_sessions")
                           .Help("Panels' sessions open now.")
                           .Register(registry)
                           .Add({});
    m_proxyOpened = &prometheus::BuildCounter()
                         .Name("veltrano_proxy_sessions_opened_total")
                         .Help("Panels' sessions opened.")
                         .Register(registry)
                         .Add({});
    m_proxyRefused = &prometheus::BuildCounter()
                          .Name("veltrano_proxy_sessions_refused_total")
                          .Help("Datagrams refused for want of a session.")
                          .Register(registry)
                          .Add({});
}

void MetricsEndpoint::PublishProxy(const ProxyTotals& totals)
{
    if (!m_published.proxy) {
        RegisterProxyFamilies();
        m_published.proxy = ProxyTotals{};
    }
    ProxyTotals& published = *m_published.proxy;
    for (std::size_t way = 0; way < 2; ++way) {
        Advance(m_proxyForwarded[way], totals.forwarded[way], published.forwarded[way]);
        Advance(m_proxyFaulted[way], totals.faulted[way], published.faulted[way]);
    }
    Advance(m_proxyOpened, totals.sessionsOpened, published.sessionsOpened);
    Advance(m_proxyRefused, totals.sessionsRefused, published.sessionsRefused);
    m_proxySessions->Set(static_cast<double>(totals.sessions));
}

void MetricsEndpoint::AddRoundTrip(std::int64_t microseconds)
{
    const double seconds = static_cast<double>(microseconds) / 1e6;
    const auto bucket = std::ranges::lower_bound(BOUNDS, seconds) - BOUNDS.begin();
    m_pendingBuckets[static_cast<std::size_t>(bucket)] += 1;
    m_pendingSum += seconds;
    m_pending = true;
}

void MetricsEndpoint::Publish(const MetricsTotals& totals)
{
    Advance(m_received, totals.framesReceived, m_published.framesReceived);
    Advance(m_sent, totals.framesSent, m_published.framesSent);
    Advance(m_acks, totals.acknowledgements, m_published.acknowledgements);
    Advance(m_retries, totals.retries, m_published.retries);
    Advance(m_lost, totals.framesLost, m_published.framesLost);
    Advance(m_drops, totals.kernelDrops, m_published.kernelDrops);
    m_seen->Set(static_cast<double>(totals.panelsSeen));
    m_missing->Set(static_cast<double>(totals.panelsMissing));
    m_inAlarm->Set(static_cast<double>(totals.panelsInAlarm));
    for (std::size_t kind = 0; kind < m_events.size(); ++kind)
        Advance(m_events[kind], totals.events[kind], m_published.events[kind]);
    if (totals.proxy)
        PublishProxy(*totals.proxy);
    if (m_pending) {
        m_roundTrips->ObserveMultiple({m_pendingBuckets.begin(), m_pendingBuckets.end()}, m_pendingSum);
        m_pendingBuckets.fill(0);
        m_pendingSum = 0;
        m_pending = false;
    }
}

std::string MetricsEndpoint::Exposition() const
{
    return prometheus::TextSerializer().Serialize(m_registry->Collect());
}

} // namespace veltrano
