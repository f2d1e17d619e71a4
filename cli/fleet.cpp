#include "cli/fleet.h"

#include "cli/command_run.h"
#include "cli/common_options.h"
#include "cli/metrics.h"
#include "fleet/fleet_plan.h"
#include "fleet/fleet_report.h"
#include "link/pacer.h"
#include "net/host_port.h"
#include "net/udp_endpoint.h"
#include "verdict/junit.h"

#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

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
constexpr int MAX_FLEET_SOCKETS = 256;

constexpr std::size_t BATCH = 1024; // datagrams per Tick, and per system call at most

std::uint64_t KernelDrops(std::span<BatchUdpSocket* const> sockets)
{
    std::uint64_t drops = 0;
    for (const BatchUdpSocket* socket : sockets)
        drops += socket->KernelDrops();
    return drops;
}

// The fleet's sockets and timers around FleetPanels, and what it writes.
class Fleet final
{
public:
    Fleet(const FleetOptions& options, const veltrano::FleetPlan& plan, CommandRun& run)
        : m_options(options), m_plan(plan), m_run(run), m_panels(plan.config, plan.to, MonoClock::now())
    {
        ConnectOneShot(m_wakeTimer, [this] { OnWake(); });
        m_durationTimer.setSingleShot(true);
        OnTimeout(m_durationTimer, [this] {
            // A duration longer than a timer holds is waited for in pieces.
            if (const MonoTime now = MonoClock::now(); now < m_durationEnd) {
                m_durationTimer.start(TimerWait(m_durationEnd, now));
                return;
            }
            m_panels.StopNewFrames();
            CheckDone();
        });
        OnTimeout(m_publishTimer, [this] { Publish(); });
        m_run.OnSummary([this](LineOutput& output, int exitCode) { WriteSummary(output, exitCode); });
        m_run.OnJunit(options.junitPath, [this](const std::string& path) {
            // A test case per communicator.
            return WriteJunit(path, "fleet", veltrano::FleetVerdicts(m_panels, m_plan.config.first));
        });
        m_out.reserve(BATCH * 2);
    }

    Status Start()
    {
        BatchUdpSocket::Options socketOptions;
        socketOptions.receiveBuffer = m_options.receiveBuffer;
        for (int i = 0; i < m_options.sockets; ++i) {
            CommandRun::Reading reading;
            reading.afterBatches = [this] {
                SendOut();
                CheckDone();
            };
            const std::size_t index = m_sockets.size();
            auto socket = m_run.OpenSocket(
                socketOptions,
                [this, index](auto batch, const CommandRun::Arrival& arrival) {
                    OnBatch(index, batch, arrival);
                },
                std::move(reading), BATCH);
            if (!socket)
                return Failure(socket.error());
            m_sockets.push_back(*socket);
        }
        m_outgoing.resize(m_sockets.size());
        if (auto metrics = StartAnnouncedMetrics(m_options.metricsText, m_metrics, m_publishTimer); !metrics)
            return metrics;
        if (m_plan.duration.count() > 0) {
            const MonoTime now = MonoClock::now();
            m_durationEnd = now + m_plan.duration;
            m_durationTimer.start(TimerWait(m_durationEnd, now));
        }
        m_run.ShowProgress([this] { return ProgressLine(); });
        std::fputs(veltrano::FleetStartLine(m_plan, m_options.sockets).c_str(), stderr);
        OnWake();
        return {};
    }

private:
    void OnWake()
    {
        const MonoTime now = MonoClock::now();
        m_panels.Tick(now, m_out, BATCH);
        SendOut();
        ArmWake();
        CheckDone();
    }

    void OnBatch(std::size_t socket, std::span<const BatchUdpSocket::Received> batch,
                 const CommandRun::Arrival& arrival)
    {
        const bool logging = Logging();
        for (const auto& datagram : batch) {
            ++m_io.received;
            const auto match = m_panels.Received(datagram.from, datagram.bytes, arrival.now, m_out);
            if (match.outcome == AckMatcher::Outcome::Answered) {
                if (m_metrics)
                    m_metrics->AddRoundTrip(match.rtt.count());
            } else {
                ++m_io.unexpected;
            }
            if (logging) {
                FrameRecord record = MakeRecord(
                    arrival.wallUs, Direction::In, datagram.from,
                    {datagram.localAddress, m_sockets[socket]->LocalAddress().port}, datagram.bytes);
                if (match.outcome == AckMatcher::Outcome::Answered)
                    record.rttUs = match.rtt.count();
                m_run.Log(record);
            }
        }
    }

    bool Logging() const { return m_options.frames || !m_options.output.pcapPath.empty(); }
    void SendOut()
    {
        if (m_out.empty())
            return;
        const veltrano::FleetSources sources(m_plan.sources, m_sockets.size());
        for (auto& outgoing : m_outgoing)
            outgoing.clear();
        for (const auto& datagram : m_out) {
            const auto source = sources.Of(datagram.panel);
            m_outgoing[source.socket].push_back({m_plan.to, source.address, datagram.Frame()});
        }
        const bool logging = Logging();
        const std::int64_t wallUs = logging ? WallClockUs() : 0;
        for (std::size_t s = 0; s < m_sockets.size(); ++s) {
            const auto& outgoing = m_outgoing[s];
            // A frame the system would not take waits for its retry, like one the network lost.
            m_sockets[s]->SendEach(outgoing, [&](std::size_t i, int error) {
                if (error != 0)
                    ++m_io.sendFailed;
                if (logging)
                    m_run.Log(MakeRecord(wallUs, Direction::Out, m_plan.to,
                                         {outgoing[i].sourceAddress, m_sockets[s]->LocalAddress().port},
                                         outgoing[i].bytes, error));
            });
        }
        m_out.clear();
    }

    void ArmWake()
    {
        if (m_run.Finished())
            return;
        const auto next = m_panels.NextWake();
        if (!next)
            return;
        m_wakeTimer.start(TimerWait(*next, MonoClock::now()));
    }

    void CheckDone()
    {
        if (m_panels.Stopping() && m_panels.Waiting() == 0 && !m_run.Finished())
            m_run.Finish(m_panels.Totals().lost == 0 ? EXIT_OK : EXIT_EXPECTATION_FAILED);
    }

    std::string ProgressLine()
    {
        std::string line = veltrano::FleetProgressLine(m_panels, m_lastSent);
        m_lastSent = m_panels.Totals().sent;
        return line;
    }

    void Publish()
    {
        veltrano::MetricsTotals totals{.framesReceived = m_io.received,
                                       .kernelDrops = KernelDrops(m_sockets)};
        veltrano::AddFleetTotals(totals, m_panels);
        m_metrics->Publish(totals);
    }

    void WriteSummary(LineOutput& output, int exitCode) const
    {
        veltrano::AppendKindLines(output.Buffer(), output.Format(), m_panels);
        output.Written();
        const std::string lost =
            veltrano::LostPanelNames(m_panels, m_plan.config.first, veltrano::LOST_PANELS_SHOWN);
        output.Summary("fleet",
                       veltrano::FleetSummaryFields(m_panels, m_io, KernelDrops(m_sockets), lost, exitCode));
    }

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
    veltrano::MonoTime m_durationEnd;
    QTimer m_publishTimer;
    veltrano::FleetIoCounts m_io;
    std::uint64_t m_lastSent{0};
};

int RunFleet(const FleetOptions& options)
{
    auto plan = veltrano::PlanFleet(options.request, InterfaceAddresses);
    if (!plan)
        return UsageError(plan.error());
    auto to = ResolveHostPort(options.toText);
    if (!to)
        return UsageError(to.error());
    plan->to = *to;
    return ExecDriver<Fleet>("fleet", options.output, options, *plan);
}

} // namespace

void AddFleetCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<FleetOptions>();
    auto* command = app.add_subcommand("fleet", "Simulate many panels: heartbeats, events and retries");
    AddToOption(command, options->toText, "The centre: an IPv4 address or a host name, and a port");
    AddCheckedOption(command, "--panels", options->request.panels, "How many panels, in the sweep's order",
                     "N", CLI::Range(std::uint32_t{1}, std::uint32_t{PANEL_SPACE}))
        ->required();
    AddCheckedOption(command, "--first", options->request.firstText, "Number of the first panel", "C:D",
                     FromParser([](std::string_view t) { return ParsePanelNumber(t); }, "C:D"),
                     ShownDefault::Yes);
    AddTypedOption(command, "--heartbeat", options->request.heartbeatS,
                   "A status frame from every panel every S seconds", "S", ShownDefault::Yes);
    AddTypedOption(command, "--events", options->request.eventsPerHour, "Events per panel and hour, in pairs",
                   "PER_HOUR", ShownDefault::Yes);
    AddTimeoutOption(command, options->request.timeoutMs, "Wait for an acknowledgement after the last send");
    AddCheckedOption(command, "--retries", options->request.retries, "Send a frame again up to K times", "K",
                     CLI::Range(0, static_cast<int>(MAX_FLEET_RETRIES)), ShownDefault::Yes);
    AddCheckedOption(command, "--retry-interval", options->request.retryIntervalMs,
                     "Between sends of a frame (default: --timeout)", "MS", CLI::Range(1, 3'600'000));
    AddTypedOption(command, "--duration", options->request.durationS,
                   "Send new frames for S seconds, then wait for the last", "S");
    AddCheckedOption(command, "--from", options->request.fromText,
                     "Source addresses, the panels spread over them", "ADDR[-ADDR]",
                     FromParser([](std::string_view t) { return ParseAddressRange(t); }, "ADDR[-ADDR]"));
    AddCheckedOption(command, "--sockets", options->sockets, "Source ports, the panels spread over them", "N",
                     CLI::Range(1, MAX_FLEET_SOCKETS), ShownDefault::Yes);
    AddTypedOption(command, "--seed", options->request.seed,
                   "Seed of the heartbeats' jitter and of the events", "N", ShownDefault::Yes);
    command->add_flag("--frames", options->frames, "A line per datagram (and with --pcap, always)");
    AddMetricsOption(command, options->metricsText);
    AddJunitOption(command, options->junitPath, "Write a JUnit file, a test case per communicator");
    AddReceiveBufferOption(command, options->receiveBuffer);
    AddOutputOptions(command, options->output);
    command->callback([options, &chosen] { chosen = [options] { return RunFleet(*options); }; });
}
