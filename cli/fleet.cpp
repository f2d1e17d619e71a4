#include "cli/fleet.h"

#include "cli/verdict.h"

#include "net/host_port.h"
#include "net/udp_endpoint.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

using namespace veltrano;

namespace {

constexpr std::size_t BATCH = 1024; // datagrams per Tick, and per system call at most

int RunFleet(const FleetOptions& options)
{
    auto plan = veltrano::PlanFleet(options.request, InterfaceAddresses);
    if (!plan)
        return UsageError(plan.error());
    auto to = ResolveHostPort(options.toText);
    if (!to)
        return UsageError(to.error());
    plan->to = *to;
    CommandRun run("fleet", options.output);
    Fleet fleet(options, *plan, run);
    return run.Exec([&fleet] { return fleet.Start(); });
}

// A test case per communicator.
Status WriteJunit(const std::string& path, const FleetPanels& panels, std::uint32_t first)
{
    VerdictReport report("fleet");
    for (Verdict& verdict : veltrano::FleetVerdicts(panels, first))
        report.Add(std::move(verdict));
    return report.WriteJunit(path);
}

std::uint64_t KernelDrops(std::span<BatchUdpSocket* const> sockets)
{
    std::uint64_t drops = 0;
    for (const BatchUdpSocket* socket : sockets)
        drops += socket->KernelDrops();
    return drops;
}

} // namespace

void AddFleetCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<FleetOptions>();
    auto* command = app.add_subcommand("fleet", "Simulate many panels: heartbeats, events and retries");
    AddToOption(command, options->toText, "The centre: an IPv4 address or a host name, and a port");
    command->add_option("--panels", options->request.panels, "How many panels, in the sweep's order")
        ->required()
        ->type_name("N")
        ->check(CLI::Range(std::uint32_t{1}, std::uint32_t{PANEL_SPACE}));
    command->add_option("--first", options->request.firstText, "Number of the first panel")
        ->capture_default_str()
        ->type_name("C:D")
        ->check(FromParser([](std::string_view t) { return ParsePanelNumber(t); }, "C:D"));
    command
        ->add_option("--heartbeat", options->request.heartbeatS,
                     "A status frame from every panel every S seconds")
        ->capture_default_str()
        ->type_name("S");
    command->add_option("--events", options->request.eventsPerHour, "Events per panel and hour, in pairs")
        ->capture_default_str()
        ->type_name("PER_HOUR");
    AddTimeoutOption(command, options->request.timeoutMs, "Wait for an acknowledgement after the last send");
    command->add_option("--retries", options->request.retries, "Send a frame again up to K times")
        ->capture_default_str()
        ->type_name("K")
        ->check(CLI::Range(0, static_cast<int>(MAX_FLEET_RETRIES)));
    command
        ->add_option("--retry-interval", options->request.retryIntervalMs,
                     "Between sends of a frame (default: --timeout)")
        ->type_name("MS")
        ->check(CLI::Range(1, 3'600'000));
    command
        ->add_option("--duration", options->request.durationS,
                     "Send new frames for S seconds, then wait for the last")
        ->type_name("S");
    command->add_option("--from", options->request.fromText, "Source addresses, the panels spread over them")
        ->type_name("ADDR[-ADDR]")
        ->check(FromParser([](std::string_view t) { return ParseAddressRange(t); }, "ADDR[-ADDR]"));
    command->add_option("--sockets", options->sockets, "Source ports, the panels spread over them")
        ->capture_default_str()
        ->type_name("N")
        ->check(CLI::Range(1, MAX_FLEET_SOCKETS));
    command->add_option("--seed", options->request.seed, "Seed of the heartbeats' jitter and of the events")
        ->capture_default_str()
        ->type_name("N");
    command->add_flag("--frames", options->frames, "A line per datagram (and with --pcap, always)");
    AddMetricsOption(command, options->metricsText);
    AddJunitOption(command, options->junitPath, "Write a JUnit file, a test case per communicator");
    AddReceiveBufferOption(command, options->receiveBuffer);
    AddOutputOptions(command, options->output);
    command->callback([options, &chosen] { chosen = [options] { return RunFleet(*options); }; });
}

Fleet::Fleet(const FleetOptions& options, const veltrano::FleetPlan& plan, CommandRun& run, QObject* parent)
    : QObject(parent), m_options(options), m_plan(plan), m_run(run),
      m_panels(plan.config, plan.to, MonoClock::now())
{
    m_wakeTimer.setSingleShot(true);
    m_wakeTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_wakeTimer, &QTimer::timeout, this, &Fleet::OnWake);
    m_durationTimer.setSingleShot(true);
    connect(&m_durationTimer, &QTimer::timeout, this, [this] {
        m_panels.StopNewFrames();
        CheckDone();
    });
    connect(&m_progressTimer, &QTimer::timeout, this, &Fleet::Progress);
    connect(&m_publishTimer, &QTimer::timeout, this, &Fleet::Publish);
    m_run.OnSummary([this](LineOutput& output, int exitCode) { WriteSummary(output, exitCode); });
    m_run.OnJunit(options.junitPath, [this](const std::string& path) {
        return WriteJunit(path, m_panels, m_plan.config.first);
    });
    m_out.reserve(BATCH * 2);
}

Status Fleet::Start()
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
            [this, index](auto batch, const CommandRun::Arrival& arrival) { OnBatch(index, batch, arrival); },
            std::move(reading), BATCH);
        if (!socket)
            return Failure(socket.error());
        m_sockets.push_back(*socket);
    }
    m_outgoing.resize(m_sockets.size());
    if (auto metrics = StartAnnouncedMetrics(m_options.metricsText, m_metrics, m_publishTimer); !metrics)
        return metrics;
    if (m_plan.duration.count() > 0)
        m_durationTimer.start(std::chrono::ceil<std::chrono::milliseconds>(m_plan.duration));
    if (isatty(STDERR_FILENO) == 1)
        m_progressTimer.start(1000);
    std::fputs(veltrano::FleetStartLine(m_plan, m_options.sockets).c_str(), stderr);
    OnWake();
    return {};
}

void Fleet::OnWake()
{
    const MonoTime now = MonoClock::now();
    m_panels.Tick(now, m_out, BATCH);
    SendOut();
    ArmWake();
    CheckDone();
}

void Fleet::ArmWake()
{
    if (m_run.Finished())
        return;
    const auto next = m_panels.NextWake();
    if (!next)
        return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - MonoClock::now());
    m_wakeTimer.start(std::max(wait, std::chrono::milliseconds(0)));
}

void Fleet::OnBatch(std::size_t socket, std::span<const BatchUdpSocket::Received> batch,
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
            FrameRecord record =
                MakeRecord(arrival.wallUs, Direction::In, datagram.from,
                           {datagram.localAddress, m_sockets[socket]->LocalAddress().port}, datagram.bytes);
            if (match.outcome == AckMatcher::Outcome::Answered)
                record.rttUs = match.rtt.count();
            m_run.Log(record);
        }
    }
}

void Fleet::SendOut()
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
        CommandRun::SendEach(*m_sockets[s], outgoing, [&](std::size_t i, int error) {
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

void Fleet::CheckDone()
{
    if (m_panels.Stopping() && m_panels.Waiting() == 0 && !m_run.Finished())
        m_run.Finish(m_panels.Totals().lost == 0 ? EXIT_OK : EXIT_EXPECTATION_FAILED);
}

void Fleet::Progress()
{
    std::fputs(veltrano::FleetProgressLine(m_panels, m_lastSent).c_str(), stderr);
    m_lastSent = m_panels.Totals().sent;
}

void Fleet::Publish()
{
    veltrano::MetricsTotals totals{.framesReceived = m_io.received, .kernelDrops = KernelDrops(m_sockets)};
    veltrano::AddFleetTotals(totals, m_panels);
    m_metrics->Publish(totals);
}

void Fleet::WriteSummary(LineOutput& output, int exitCode) const
{
    veltrano::AppendKindLines(output.Buffer(), output.Format(), m_panels);
    output.Written();
    const std::string lost =
        veltrano::LostPanelNames(m_panels, m_plan.config.first, veltrano::LOST_PANELS_SHOWN);
    output.Summary("fleet",
                   veltrano::FleetSummaryFields(m_panels, m_io, KernelDrops(m_sockets), lost, exitCode));
}
