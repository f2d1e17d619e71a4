#pragma once

#include "cli/command.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "cli/metrics.h"
#include "fleet/fleet_inputs.h"
#include "fleet/fleet_panels.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct FleetOptions
{
    std::string toText;
    std::uint32_t panels{1};
    std::string firstText{"0:0"};
    double heartbeatS{60};
    double eventsPerHour{0};
    int timeoutMs{1000};
    int retries{3};
    int retryIntervalMs{0}; // 0: the timeout
    double durationS{0};    // 0: until interrupted
    std::string fromText;   // empty: the address routing chooses
    int sockets{1};
    std::uint64_t seed{1};
    bool frames{false};
    std::string metricsText;
    std::string junitPath;
    int receiveBuffer{DEFAULT_RECEIVE_BUFFER};
    OutputOptions output;
};

// The options' meaning, checked before anything is sent; the reason of a usage error otherwise.
struct FleetPlan
{
    veltrano::FleetConfig config;
    veltrano::Endpoint to;
    veltrano::AddressRange sources{0, 0}; // first 0: no --from
    std::chrono::microseconds duration{0};
};
veltrano::Result<FleetPlan> PlanFleet(const FleetOptions& options);

// At most this many sockets (source ports); each takes every source address of --from.
inline constexpr int MAX_FLEET_SOCKETS = 256;

// `fleet`: up to the whole address space of panels, each sending its heartbeat and events from its own
// source address and port, every frame waiting for its acknowledgement and retried; a summary per event
// kind, round-trip percentiles and the panels that lost a frame.
void AddFleetCommand(CLI::App& app, CommandRunner& chosen);

class Fleet final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Fleet)

public:
    Fleet(const FleetOptions& options, const FleetPlan& plan, CommandRun& run, QObject* parent = nullptr);
    ~Fleet() override;

    veltrano::Status Start();

private:
    void OnWake();
    void OnBatch(std::size_t socket, std::span<const BatchUdpSocket::Received> batch,
                 const CommandRun::Arrival& arrival);
    bool Logging() const { return m_options.frames || !m_options.output.pcapPath.empty(); }
    void SendOut();
    void ArmWake();
    void CheckDone();
    void Progress();
    void Publish();
    void WriteSummary(veltrano::LineOutput& output, int exitCode) const;
    veltrano::Status WriteJunit(const std::string& path) const;

    FleetOptions m_options;
    FleetPlan m_plan;
    CommandRun& m_run;
    veltrano::FleetPanels m_panels;
    std::vector<BatchUdpSocket*> m_sockets;
    std::vector<veltrano::FleetPanels::Datagram> m_out;
    std::vector<std::vector<BatchUdpSocket::Outgoing>> m_outgoing; // per socket
    std::unique_ptr<MetricsEndpoint> m_metrics;
    QTimer m_wakeTimer;
    QTimer m_durationTimer;
    QTimer m_progressTimer;
    QTimer m_publishTimer;
    std::uint64_t m_received{0};
    std::uint64_t m_sendFailed{0};
    std::uint64_t m_unexpected{0};
    std::uint64_t m_lastSent{0};
};
