#pragma once

#include "cli/command.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "cli/metrics.h"
#include "fleet/fleet_plan.h"
#include "fleet/fleet_report.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct FleetOptions
{
    veltrano::FleetRequest request;
    std::string toText;
    int sockets{1};
    bool frames{false};
    std::string metricsText;
    std::string junitPath;
    int receiveBuffer{DEFAULT_RECEIVE_BUFFER};
    OutputOptions output;
};

// At most this many sockets (source ports); each takes every source address of --from.
inline constexpr int MAX_FLEET_SOCKETS = 256;

// `fleet`: up to the whole address space of panels, each sending its heartbeat and events from its own
// source address and port, every frame waiting for its acknowledgement and retried; a summary per event
// kind, round-trip percentiles and the panels that lost a frame.
void AddFleetCommand(CLI::App& app, CommandRunner& chosen);

// The fleet's sockets and timers around FleetPanels, and what it writes.
class Fleet final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Fleet)

public:
    Fleet(const FleetOptions& options, const veltrano::FleetPlan& plan, CommandRun& run,
          QObject* parent = nullptr);

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

    FleetOptions m_options;
    veltrano::FleetPlan m_plan;
    CommandRun& m_run;
    veltrano::FleetPanels m_panels;
    std::vector<BatchUdpSocket*> m_sockets;
    std::vector<veltrano::FleetPanels::Datagram> m_out;
    std::vector<std::vector<BatchUdpSocket::Outgoing>> m_outgoing; // per socket
    std::unique_ptr<veltrano::MetricsEndpoint> m_metrics;
    QTimer m_wakeTimer;
    QTimer m_durationTimer;
    QTimer m_progressTimer;
    QTimer m_publishTimer;
    veltrano::FleetIoCounts m_io;
    std::uint64_t m_lastSent{0};
};
