#include "cli/fleet.h"

#include "cli/verdict.h"

#include "link/json_line.h"
#include "net/host_port.h"
#include "net/udp_endpoint.h"

#include <fmt/format.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

using namespace veltrano;

namespace {

constexpr std::size_t BATCH = 1024;           // datagrams per Tick, and per system call at most
constexpr std::size_t LOST_PANELS_SHOWN = 32; // in the summary line; the JUnit file names them all

std::string PanelName(std::uint32_t number)
{
    return fmt::format("{}:{}", PanelComm(number), PanelDev(number));
}

int RunFleet(const FleetOptions& options)
{
    auto plan = PlanFleet(options);
    if (!plan)
        return UsageError(plan.error());
    CommandRun run("fleet", options.output);
    Fleet fleet(options, *plan, run);
    return run.Exec([&fleet] { return fleet.Start(); });
}

} // namespace

Result<FleetPlan> PlanFleet(const FleetOptions& options)
{
    FleetPlan plan;
    auto first = ParsePanelNumber(options.firstText);
    if (!first)
        return Failure("--first: " + first.error());
    if (auto range = CheckPanelRange(*first, options.panels); !range)
        return Failure(range.error());
    if (!(options.heartbeatS >= 0.001) || options.heartbeatS > 86400)
        return Failure("--heartbeat must be from 0.001 to 86400 seconds");
    if (!(options.eventsPerHour >= 0) || options.eventsPerHour > 3.6e6)
        return Failure("--events must be from 0 to 3600000 per hour");
    if (!(options.durationS >= 0) || options.durationS > static_cast<double>(MAX_FLEET_RUN.count()))
        return Failure(fmt::format("--duration must be from 0 to {} seconds", MAX_FLEET_RUN.count()));
    if (!options.fromText.empty()) {
        auto sources = ParseAddressRange(options.fromText);
        if (!sources)
            return Failure("--from: " + sources.error());
        if (!IsLoopback(sources->first) || !IsLoopback(sources->last)) {
            const auto local = InterfaceAddresses();
            for (std::uint64_t a = sources->first; a <= sources->last; ++a)
                if (!IsLoopback(static_cast<std::uint32_t>(a)) &&
                    !local.contains(static_cast<std::uint32_t>(a)))
                    return Failure(fmt::format("--from: {}.{}.{}.{} is neither a loopback address nor one of "
                                               "this machine's",
                                               a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF));
        }
        plan.sources = *sources;
    }
    auto to = ResolveHostPort(options.toText);
    if (!to)
        return Failure(to.error());
    plan.to = *to;

    FleetConfig& config = plan.config;
    config.first = *first;
    config.panels = options.panels;
    config.heartbeat = std::chrono::microseconds(std::llround(options.heartbeatS * 1e6));
    config.eventsPerHour = options.eventsPerHour;
    config.timeout = std::chrono::milliseconds(options.timeoutMs);
    config.retryInterval =
        std::chrono::milliseconds(options.retryIntervalMs > 0 ? options.retryIntervalMs : options.timeoutMs);
    config.retries = static_cast<std::uint32_t>(options.retries);
    config.seed = options.seed;
    plan.duration = std::chrono::microseconds(std::llround(options.durationS * 1e6));
    return plan;
}

void AddFleetCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<FleetOptions>();
    auto* command = app.add_subcommand("fleet", "Simulate many panels: heartbeats, events and retries");
    AddToOption(command, options->toText, "The centre: an IPv4 address or a host name, and a port");
    command->add_option("--panels", options->panels, "How many panels, in the sweep's order")
        ->required()
        ->type_name("N")
        ->check(CLI::Range(std::uint32_t{1}, std::uint32_t{PANEL_SPACE}));
    command->add_option("--first", options->firstText, "Number of the first panel")
        ->capture_default_str()
        ->type_name("C:D")
        ->check(FromParser([](std::string_view t) { return ParsePanelNumber(t); }, "C:D"));
    command->add_option("--heartbeat", options->heartbeatS, "A status frame from every panel every S seconds")
        ->capture_default_str()
        ->type_name("S");
    command->add_option("--events", options->eventsPerHour, "Events per panel and hour, in pairs")
        ->capture_default_str()
        ->type_name("PER_HOUR");
    AddTimeoutOption(command, options->timeoutMs, "Wait for an acknowledgement after the last send");
    command->add_option("--retries", options->retries, "Send a frame again up to K times")
        ->capture_default_str()
        ->type_name("K")
        ->check(CLI::Range(0, static_cast<int>(MAX_FLEET_RETRIES)));
    command
        ->add_option("--retry-interval", options->retryIntervalMs,
                     "Between sends of a frame (default: --timeout)")
        ->type_name("MS")
        ->check(CLI::Range(1, 3'600'000));
    command
        ->add_option("--duration", options->durationS,
                     "Send new frames for S seconds, then wait for the last")
        ->type_name("S");
    command->add_option("--from", options->fromText, "Source addresses, the panels spread over them")
        ->type_name("ADDR[-ADDR]")
        ->check(FromParser([](std::string_view t) { return ParseAddressRange(t); }, "ADDR[-ADDR]"));
    command->add_option("--sockets", options->sockets, "Source ports, the panels spread over them")
        ->capture_default_str()
        ->type_name("N")
        ->check(CLI::Range(1, MAX_FLEET_SOCKETS));
    command->add_option("--seed", options->seed, "Seed of the heartbeats' jitter and of the events")
        ->capture_default_str()
        ->type_name("N");
    command->add_flag("--frames", options->frames, "A line per datagram (and with --pcap, always)");
    command
        ->add_option("--metrics", options->metricsText,
                     "Serve Prometheus metrics on /metrics (PORT: loopback)")
        ->type_name("ADDR:PORT")
        ->check(FromParser([](std::string_view t) { return ParseListenAddress(t); }, "ADDR:PORT"));
    AddJunitOption(command, options->junitPath, "Write a JUnit file, a test case per communicator");
    AddReceiveBufferOption(command, options->receiveBuffer);
    AddOutputOptions(command, options->output);
    command->callback([options, &chosen] { chosen = [options] { return RunFleet(*options); }; });
}

Fleet::Fleet(const FleetOptions& options, const FleetPlan& plan, CommandRun& run, QObject* parent)
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
    m_run.OnJunit(options.junitPath, [this](const std::string& path) { return WriteJunit(path); });
    m_out.reserve(BATCH * 2);
}

Fleet::~Fleet() = default;

Status Fleet::Start()
{
    for (int i = 0; i < m_options.sockets; ++i) {
        BatchUdpSocket::Options socketOptions;
        socketOptions.receiveBuffer = m_options.receiveBuffer;
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
    std::fprintf(
        stderr, "fleet of %u panels from %s to %s, heartbeat %.3f s, %zu source address(es) x %d port(s)\n",
        m_plan.config.panels, PanelName(m_plan.config.first).c_str(), m_plan.to.ToString().c_str(),
        static_cast<double>(m_plan.config.heartbeat.count()) / 1e6,
        static_cast<std::size_t>(m_plan.sources.first == 0 ? 1 : m_plan.sources.Size()), m_options.sockets);
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
        ++m_received;
        const auto match = m_panels.Received(datagram.from, datagram.bytes, arrival.now, m_out);
        if (match.outcome == AckMatcher::Outcome::Answered) {
            if (m_metrics)
                m_metrics->AddRoundTrip(match.rtt.count());
        } else {
            ++m_unexpected;
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
    const std::uint64_t addresses = m_plan.sources.first == 0 ? 1 : m_plan.sources.Size();
    const std::uint64_t sources = addresses * m_sockets.size();
    for (auto& outgoing : m_outgoing)
        outgoing.clear();
    for (const auto& datagram : m_out) {
        const std::uint64_t source = datagram.panel % sources;
        const auto address =
            m_plan.sources.first == 0
                ? 0
                : static_cast<std::uint32_t>(m_plan.sources.first + source / m_sockets.size());
        m_outgoing[source % m_sockets.size()].push_back({m_plan.to, address, datagram.Frame()});
    }
    const bool logging = Logging();
    const std::int64_t wallUs = logging ? WallClockUs() : 0;
    for (std::size_t s = 0; s < m_sockets.size(); ++s) {
        const auto& outgoing = m_outgoing[s];
        // A frame the system would not take waits for its retry, like one the network lost.
        CommandRun::SendEach(*m_sockets[s], outgoing, [&](std::size_t i, int error) {
            if (error != 0)
                ++m_sendFailed;
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
    const auto totals = m_panels.Totals();
    std::fprintf(
        stderr, "panels %u  frames/s %llu  acknowledged %llu  retried %llu  lost %llu  rtt p99 %lld us\n",
        m_panels.Size(), static_cast<unsigned long long>(totals.sent - m_lastSent),
        static_cast<unsigned long long>(totals.acknowledged), static_cast<unsigned long long>(totals.retried),
        static_cast<unsigned long long>(totals.lost),
        static_cast<long long>(m_panels.RoundTripTimes().Percentile(0.99)));
    m_lastSent = totals.sent;
}

void Fleet::Publish()
{
    const auto totals = m_panels.Totals();
    MetricsTotals metrics;
    metrics.framesReceived = m_received;
    metrics.framesSent = totals.sent;
    metrics.acknowledgements = totals.acknowledged;
    metrics.retries = totals.retried;
    metrics.framesLost = totals.lost;
    for (const BatchUdpSocket* socket : m_sockets)
        metrics.kernelDrops += socket->KernelDrops();
    metrics.panelsSeen = m_panels.Size();
    m_metrics->Publish(metrics);
}

Status Fleet::WriteJunit(const std::string& path) const
{
    // One case per communicator: it fails with the panels that lost a frame.
    const auto lost = m_panels.LostPanels();
    const std::uint32_t first = m_plan.config.first;
    const std::uint32_t last = first + m_panels.Size() - 1;
    VerdictReport report("fleet");
    auto lostAt = lost.begin();
    for (std::uint32_t comm = PanelComm(first); comm <= PanelComm(last); ++comm) {
        std::string names;
        while (lostAt != lost.end() && PanelComm(first + *lostAt) == comm) {
            if (!names.empty())
                names += ' ';
            names += PanelName(first + *lostAt++);
        }
        Verdict verdict;
        verdict.id = "comm " + std::to_string(comm);
        verdict.classname = "fleet";
        verdict.outcome = names.empty() ? Outcome::Passed : Outcome::Failed;
        if (!names.empty()) {
            verdict.message = "panels lost a frame";
            verdict.details = std::move(names);
        }
        report.Add(std::move(verdict));
    }
    return report.WriteJunit(path);
}

void Fleet::WriteSummary(LineOutput& output, int exitCode) const
{
    std::string& out = output.Buffer();
    const auto& kinds = m_panels.Kinds();
    for (std::size_t kind = 0; kind < kinds.size(); ++kind) {
        const auto& k = kinds[kind];
        if (k.sent == 0)
            continue;
        if (output.Format() == veltrano::OutputFormat::JsonLines)
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
    output.Written();

    const auto lost = m_panels.LostPanels();
    std::string lostNames;
    for (std::size_t i = 0; i < lost.size() && i < LOST_PANELS_SHOWN; ++i) {
        if (i != 0)
            lostNames += ",";
        lostNames += PanelName(m_plan.config.first + lost[i]);
    }
    if (lost.size() > LOST_PANELS_SHOWN)
        lostNames += ",...";
    std::uint64_t drops = 0;
    for (const BatchUdpSocket* socket : m_sockets)
        drops += socket->KernelDrops();
    const auto totals = m_panels.Totals();
    const RoundTrips& rtt = m_panels.RoundTripTimes();
    const RecordField fields[] = {
        {"panels", std::uint64_t{m_panels.Size()}},
        {"sent", totals.sent},
        {"acknowledged", totals.acknowledged},
        {"retried", totals.retried},
        {"lost", totals.lost},
        {"waiting_at_exit", static_cast<std::uint64_t>(m_panels.Waiting())},
        {"received", m_received},
        {"unexpected", m_unexpected},
        {"send_failed", m_sendFailed},
        {"kernel_drops", drops},
        {"rtt_p50_us", rtt.Percentile(0.50)},
        {"rtt_p90_us", rtt.Percentile(0.90)},
        {"rtt_p99_us", rtt.Percentile(0.99)},
        {"rtt_max_us", rtt.Max()},
        {"lost_panels", std::string_view(lostNames)},
        {"exit", std::int64_t{exitCode}},
    };
    output.Summary("fleet", fields);
}
