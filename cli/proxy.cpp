#include "cli/proxy.h"

#include "cli/centre_watch.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "cli/proxy_control.h"
#include "cli/proxy_legs.h"
#include "cli/proxy_lines.h"
#include "cli/proxy_upstream.h"
#include "link/fault_engine.h"
#include "link/frame_record.h"
#include "link/pacer.h"
#include "link/proxy_pairing.h"
#include "net/batch_udp_socket.h"
#include "net/host_port.h"
#include "net/session_sockets.h"
#include "net/udp_endpoint.h"
#include "protocol/acknowledgement.h"
#include "protocol/frame_decoder.h"

#include <QSocketNotifier>
#include <QTimer>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

// Rules from --rule are the command line's, from --rules the file's (reread on SIGHUP), the rest the API's.
constexpr int FROM_COMMAND_LINE = 0;
constexpr int FROM_FILE = 1;

struct ProxyOptions
{
    std::uint16_t port{0};
    std::string bind{"0.0.0.0"};
    std::string toText;
    double idleS{120};
    std::size_t maxSessions{4096};
    std::uint64_t count{0}; // datagrams from the panels; 0: no limit
    double durationS{0};
    std::vector<std::string> rules;
    std::string rulesPath;
    std::optional<std::uint64_t> seed;
    std::optional<int> controlPort;
    int receiveBuffer{DEFAULT_RECEIVE_BUFFER};
    OutputOptions output;
    CentreWatchOptions watch;
};

// The proxy's rules from their three sources in one engine: the command line's, the file's (reread on
// SIGHUP) and the control API's.
class ProxyRules final
{
public:
    ProxyRules(const ProxyOptions& options, std::uint64_t seed) : m_options(options), m_engine(seed) {}

    // The command line's rules, then the file's, then the API where asked for.
    Status Start(std::vector<FaultRule> commandLine, std::vector<FaultRule> file)
    {
        for (auto& rule : commandLine)
            m_engine.Add(std::move(rule), FROM_COMMAND_LINE);
        Replace(std::move(file));
        if (!m_options.controlPort)
            return {};
        auto control = ProxyControl::Start(static_cast<std::uint16_t>(*m_options.controlPort), m_engine);
        if (!control)
            return Failure(control.error());
        m_control = std::move(*control);
        return {};
    }

    // SIGHUP.
    void Reread()
    {
        if (m_options.rulesPath.empty())
            return;
        if (auto read = ReadFile(); !read) {
            PrintError(read.error() + " (rules kept)");
            return;
        }
        std::fprintf(stderr, "proxy rules reread from %s: %zu rules\n", m_options.rulesPath.c_str(),
                     m_engine.Rules().size());
    }

    FaultEngine& Engine() { return m_engine; }
    const FaultEngine& Engine() const { return m_engine; }
    std::optional<Endpoint> ControlAddress() const
    {
        return m_control ? std::optional(m_control->Address()) : std::nullopt;
    }

private:
    // The file's rules replaced by what it says now; a bad file leaves them as they were.
    Status ReadFile()
    {
        if (m_options.rulesPath.empty())
            return {};
        auto rules = ReadFaultRules(m_options.rulesPath);
        if (!rules)
            return Failure(rules.error());
        Replace(std::move(*rules));
        return {};
    }

    void Replace(std::vector<FaultRule> file)
    {
        m_engine.Clear(FROM_FILE);
        for (auto& rule : file)
            m_engine.Add(std::move(rule), FROM_FILE);
    }

    const ProxyOptions& m_options;
    FaultEngine m_engine;
    std::unique_ptr<ProxyControl> m_control;
};

// The proxy's datagram path: a panel's datagram admitted to its session and through the rules up, the
// centre's answers back to their panels, the copies the rules let go each their way, both ways' batches.
class ProxyForwarder final
{
public:
    ProxyForwarder(ProxyUpstream& upstream, FaultEngine& engine, CentreWatch& watch, CommandRun& run,
                   const Endpoint& centre)
        : m_run(run), m_upstream(upstream), m_engine(engine), m_watch(watch), m_centre(centre)
    {}

    void Start(BatchUdpSocket& panels)
    {
        m_local = panels.LocalAddress();
        m_lines.SetLocal(m_local);
        m_downLeg.Start(panels, m_local);
    }

    void Up(const BatchUdpSocket::Received& datagram, const CommandRun::Arrival& arrival)
    {
        m_lines.Received(true);
        const auto bytes = datagram.bytes.first(std::min(datagram.bytes.size(), datagram.size));
        FrameRecord heard = MakeRecord(arrival.wallUs, Direction::In, datagram.from,
                                       {datagram.localAddress, m_local.port}, bytes);
        m_run.Capture(heard);
        const auto admitted = m_upstream.Admit(datagram.from, datagram.replySource, arrival.now);
        if (!admitted.refusal.empty()) {
            heard.note = admitted.refusal;
            m_run.Output().Record(heard);
            return;
        }
        m_watch.Heard(heard);
        if (std::holds_alternative<AckFrame>(AcknowledgementFor(bytes)))
            m_pairing.PanelSent(datagram.from, bytes, arrival.now);
        const FaultDatagram faulted{true,  admitted.session, datagram.from,
                                    bytes, &heard.decoded,   {arrival.wallUs, -1}};
        if (m_engine.Submit(faulted, arrival.now) == FaultEngine::Fate::Untouched)
            m_upLeg.Send({.session = admitted.session,
                          .panel = datagram.from,
                          .bytes = bytes,
                          .decoded = &heard.decoded,
                          .carried = faulted.carried});
        SendReady();
    }

    void Down(std::uint32_t slot, std::span<const std::uint8_t> bytes, MonoTime now, std::int64_t wallUs)
    {
        const auto answered = m_upstream.Answered(slot, now);
        if (!answered || m_run.Finished())
            return;
        const auto& [panel, session] = *answered;
        m_lines.Received(false);
        // The upstream socket's address costs a system call: asked for only for the capture.
        const FrameRecord heard =
            MakeRecord(wallUs, Direction::In, m_centre,
                       m_run.Capturing() ? m_upstream.Sockets().LocalAddress(slot) : Endpoint{}, bytes);
        m_run.Capture(heard);
        const std::int64_t centreRtt = m_pairing.CentreAnswered(panel, bytes, heard.decoded, now);
        const FaultDatagram faulted{false, session, panel, bytes, &heard.decoded, {wallUs, centreRtt}};
        if (m_engine.Submit(faulted, now) == FaultEngine::Fate::Untouched)
            m_downLeg.Send({.session = session,
                            .panel = panel,
                            .bytes = bytes,
                            .decoded = &heard.decoded,
                            .carried = faulted.carried});
        SendReady();
    }

    // The copies the rules let go now, each its way.
    void SendReady()
    {
        auto& ready = m_engine.Ready();
        for (auto& copy : ready) {
            const DecodedFrame decoded = DecodeFrame(copy.bytes);
            const ProxyOutbound datagram{.session = copy.session,
                                         .panel = copy.panel,
                                         .bytes = copy.bytes,
                                         .decoded = &decoded,
                                         .marks = &copy.marks,
                                         .dropped = copy.dropped,
                                         .carried = copy.carried};
            if (copy.up)
                m_upLeg.Send(datagram);
            else
                m_downLeg.Send(datagram);
        }
        ready.clear();
    }

    void Flush()
    {
        m_upLeg.Flush();
        m_downLeg.Flush();
    }

    const Endpoint& Local() const { return m_local; }
    const ProxyLines& Lines() const { return m_lines; }
    const ProxyPairing& Pairing() const { return m_pairing; }

private:
    CommandRun& m_run;
    ProxyUpstream& m_upstream;
    FaultEngine& m_engine;
    CentreWatch& m_watch;
    Endpoint m_centre;
    Endpoint m_local;
    ProxyPairing m_pairing;
    ProxyLines m_lines{m_run.Output()};
    UpLeg m_upLeg{{m_run, m_lines, m_pairing, m_upstream}, m_centre};
    DownLeg m_downLeg{{m_run, m_lines, m_pairing, m_upstream}};
};

// The proxy's run: the panels' socket and the sessions' upstream ones, the rules between them, and the
// timers that release held copies, expire sessions and end the run.
class Proxy final
{
public:
    // How long the last frames' answers are waited for once nothing more is taken from the panels.
    static constexpr std::chrono::milliseconds ANSWER_GRACE{1000};

    // `commandLine` and `file`: the rules of --rule and --rules, read.
    Proxy(const ProxyOptions& options, std::uint32_t bindAddress, Endpoint centre,
          std::vector<FaultRule> commandLine, std::vector<FaultRule> file, CommandRun& run)
        : m_options(options), m_bindAddress(bindAddress), m_centre(centre),
          m_commandLine(std::move(commandLine)), m_file(std::move(file)), m_run(run),
          m_upstream({std::chrono::milliseconds(static_cast<std::int64_t>(options.idleS * 1000)),
                      options.maxSessions},
                     centre, options.receiveBuffer),
          m_watch(options.watch, run, [this](MetricsTotals& totals) { AddTotals(totals); })
    {
        ConnectOneShot(m_faultTimer, [this] { OnFaultsDue(); });
        ConnectOneShot(m_durationTimer, [this] { OnDuration(); });
        OnTimeout(m_expiryTimer, [this] { m_upstream.Expire(MonoClock::now()); });
        m_run.OnInterrupt([this](int) { m_run.Finish(EXIT_OK); });
        m_run.OnHangup([this] { m_rules.Reread(); });
        m_run.OnSummary([this](LineOutput& output, int) { WriteSummary(output); });
    }

    Status Start()
    {
        if (auto rules = m_rules.Start(std::move(m_commandLine), std::move(m_file)); !rules)
            return rules;
        RaiseOpenFileLimit(m_options.maxSessions + 64);
        if (auto init = m_upstream.Init(); !init)
            return init;
        if (auto panels = OpenPanels(); !panels)
            return panels;
        m_upstreamNotifier =
            std::make_unique<QSocketNotifier>(m_upstream.Sockets().Handle(), QSocketNotifier::Read);
        QObject::connect(m_upstreamNotifier.get(), &QSocketNotifier::activated, m_upstreamNotifier.get(),
                         [this] { FromCentre(); });
        if (auto watching = m_watch.Start(*m_panels); !watching)
            return watching;
        m_expiryTimer.start(std::chrono::milliseconds(
            std::clamp<std::int64_t>(static_cast<std::int64_t>(m_options.idleS * 250), 10, 1000)));
        if (m_options.durationS > 0) {
            const MonoTime now = MonoClock::now();
            m_durationEnd =
                now + std::chrono::milliseconds(static_cast<std::int64_t>(m_options.durationS * 1000));
            m_durationTimer.start(TimerWait(m_durationEnd, now));
        }
        Announce();
        return {};
    }

private:
    Status OpenPanels()
    {
        auto socket = m_run.OpenSocket(
            {.bindAddress = m_bindAddress, .port = m_options.port, .receiveBuffer = m_options.receiveBuffer},
            [this](auto batch, const CommandRun::Arrival& arrival) { FromPanels(batch, arrival); },
            {.afterBatches = [this] { AfterWake(); }});
        if (!socket)
            return Failure(socket.error());
        m_panels = *socket;
        m_forwarder.Start(*m_panels);
        return {};
    }

    // Where it listens, told once: the one place a listening line is written.
    void Announce() const
    {
        const auto controlAddress = m_rules.ControlAddress();
        const std::array control{
            RecordField{"control", std::uint64_t{controlAddress ? controlAddress->port : 0U}}};
        const Endpoint& local = m_forwarder.Local();
        m_run.Output().Listening(local, std::span(control).first(controlAddress ? 1 : 0));
        std::fprintf(stderr, "proxy listening on %s, forwarding to %s (%zu rules, seed %llu)\n",
                     local.ToString().c_str(), m_centre.ToString().c_str(), m_rules.Engine().Rules().size(),
                     static_cast<unsigned long long>(m_seed));
        if (controlAddress)
            std::fprintf(stderr, "proxy control on http://%s/rules\n", controlAddress->ToString().c_str());
    }

    void FromPanels(std::span<const BatchUdpSocket::Received> batch, const CommandRun::Arrival& arrival)
    {
        for (const auto& datagram : batch) {
            if (!m_receiving)
                return;
            m_forwarder.Up(datagram, arrival);
            if (m_options.count != 0 && m_forwarder.Lines().Up().received >= m_options.count)
                StopReceiving();
        }
    }

    void FromCentre()
    {
        const MonoTime now = MonoClock::now();
        const std::int64_t wallUs = WallClockUs();
        m_upstream.Sockets().Drain(
            [&](std::uint32_t slot, std::span<const std::uint8_t> bytes, std::size_t size) {
                m_forwarder.Down(slot, bytes.first(std::min(bytes.size(), size)), now, wallUs);
            },
            4096);
        AfterWake();
    }

    void AfterWake()
    {
        m_forwarder.Flush();
        ArmFaultTimer();
        m_run.EndOfBatch();
    }

    void OnFaultsDue()
    {
        m_rules.Engine().Release(MonoClock::now());
        m_forwarder.SendReady();
        AfterWake();
    }

    // Ends the run too once nothing is taken and nothing is held, and the answers to the last frames came
    // (or a grace went by).
    void ArmFaultTimer()
    {
        const MonoTime now = MonoClock::now();
        auto due = m_rules.Engine().NextDue();
        if (!due && !m_receiving) {
            if (m_forwarder.Pairing().CentreWaiting() == 0 || now >= m_stoppedAt + ANSWER_GRACE) {
                m_run.Finish(EXIT_OK);
                return;
            }
            due = m_stoppedAt + ANSWER_GRACE;
        }
        if (due)
            m_faultTimer.start(TimerWait(*due, now));
    }

    void OnDuration()
    {
        if (const MonoTime now = MonoClock::now(); now < m_durationEnd) {
            m_durationTimer.start(TimerWait(m_durationEnd, now));
            return;
        }
        StopReceiving();
        ArmFaultTimer();
    }

    void StopReceiving()
    {
        m_receiving = false;
        m_stoppedAt = MonoClock::now();
        m_run.StopReading();
        m_durationTimer.stop();
    }

    void AddTotals(MetricsTotals& totals) const
    {
        const ProxyWayCounts& up = m_forwarder.Lines().Up();
        const ProxyWayCounts& down = m_forwarder.Lines().Down();
        totals.framesReceived += up.received + down.received;
        totals.framesSent += up.forwarded + down.forwarded;
        totals.proxy = ProxyTotals{{up.forwarded, down.forwarded},
                                   {up.faulted, down.faulted},
                                   static_cast<std::uint64_t>(m_upstream.Sessions().Active()),
                                   m_upstream.Sessions().OpenedCount(),
                                   m_upstream.Refused()};
    }

    void WriteSummary(LineOutput& output) const
    {
        auto fields =
            ProxySummaryFields(m_forwarder.Lines().Up(), m_forwarder.Lines().Down(), m_upstream.Sessions());
        m_forwarder.Pairing().AppendSummary(fields);
        fields.push_back({"rules", static_cast<std::uint64_t>(m_rules.Engine().Rules().size())});
        fields.push_back({"held_at_exit", static_cast<std::uint64_t>(m_rules.Engine().Held())});
        fields.push_back({"upstream_errors", m_upstream.Sockets().ReceiveErrors()});
        fields.push_back({"kernel_drops", m_panels != nullptr ? m_panels->KernelDrops() : 0});
        fields.push_back({"seed", m_seed});
        m_watch.AppendSummary(fields);
        output.Summary("proxy", fields);
    }

    ProxyOptions m_options;
    std::uint32_t m_bindAddress{0};
    Endpoint m_centre;
    std::vector<FaultRule> m_commandLine; // until the rules take them
    std::vector<FaultRule> m_file;
    CommandRun& m_run;
    ProxyUpstream m_upstream;
    CentreWatch m_watch;
    std::uint64_t m_seed{m_options.seed ? *m_options.seed : std::random_device{}()};
    ProxyRules m_rules{m_options, m_seed};
    ProxyForwarder m_forwarder{m_upstream, m_rules.Engine(), m_watch, m_run, m_centre};
    std::unique_ptr<QSocketNotifier> m_upstreamNotifier;
    BatchUdpSocket* m_panels{nullptr};
    QTimer m_faultTimer;
    QTimer m_durationTimer;
    QTimer m_expiryTimer;
    MonoTime m_durationEnd;
    MonoTime m_stoppedAt;
    bool m_receiving{true};
};

int RunProxy(ProxyOptions& options)
{
    auto address = ResolveIpv4(options.bind);
    if (!address)
        return UsageError(address.error());
    auto centre = ResolveHostPort(options.toText);
    if (!centre)
        return UsageError(centre.error());
    // Every rule is read before anything opens: a bad one is a usage error naming it.
    auto commandLine = ParseRuleOptions(options.rules);
    if (!commandLine)
        return UsageError(commandLine.error());
    auto file =
        options.rulesPath.empty() ? Result<std::vector<FaultRule>>{} : ReadFaultRules(options.rulesPath);
    if (!file)
        return UsageError(file.error());
    return ExecDriver<Proxy>("proxy", options.output, options, *address, *centre, std::move(*commandLine),
                             std::move(*file));
}

} // namespace

void AddProxyCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<ProxyOptions>();
    auto* command =
        app.add_subcommand("proxy", "Forward between panels and a centre, explain and fault the traffic");
    AddListenOptions(command, options->port, options->bind,
                     "UDP port the panels send to (0: one the system picks)");
    AddToOption(command, options->toText, "The centre, HOST:PORT");
    AddCheckedOption(command, "--idle", options->idleS, "End a panel's session after S seconds of silence",
                     "S", CLI::Range(0.01, 86'400.0), ShownDefault::Yes);
    AddCheckedOption(command, "--max-sessions", options->maxSessions, "Panels served at once", "N",
                     CLI::Range(std::size_t{1}, std::size_t{1'000'000}), ShownDefault::Yes);
    AddCheckedOption(command, "--count", options->count, "End after N datagrams from the panels", "N",
                     CLI::PositiveNumber);
    AddCheckedOption(command, "--duration", options->durationS, "End after S seconds", "S",
                     CLI::Range(0.001, 31'536'000.0));
    AddTypedOption(command, "--rule", options->rules,
                   "A fault rule, DIRECTION ACTION [KEY=VALUE...] (repeatable)", "RULE");
    AddTypedOption(command, "--rules", options->rulesPath, "Fault rules, one a line (reread on SIGHUP)",
                   "FILE");
    AddTypedOption(command, "--seed", options->seed, "Seed of the fault choices, to repeat a run", "N");
    AddCheckedOption(command, "--control", options->controlPort,
                     "Serve the rules over HTTP on 127.0.0.1:PORT (0: one the system picks)", "PORT",
                     CLI::Range(0, 65535));
    AddReceiveBufferOption(command, options->receiveBuffer);
    AddOutputOptions(command, options->output);
    AddCentreWatchOptions(command, options->watch);
    command->callback([options, &chosen] { chosen = [options] { return RunProxy(*options); }; });
}
