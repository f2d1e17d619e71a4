#include "cli/proxy.h"

#include "cli/centre_watch.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "cli/proxy_control.h"
#include "link/ack_matcher.h"
#include "link/fault_engine.h"
#include "link/frame_record.h"
#include "link/pacer.h"
#include "link/proxy_pairing.h"
#include "link/proxy_sessions.h"
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

// The faults a copy met, as its line names them: "delay,corrupt", and the rules' numbers "2,3".
void AppendFaults(const FaultMarks& marks, std::string& names, std::string& numbers)
{
    for (const FaultMark& mark : marks.Marks()) {
        if (!names.empty()) {
            names += ',';
            numbers += ',';
        }
        names += FaultActionKey(mark.action);
        numbers += std::to_string(mark.rule);
    }
}

// A datagram's session: its slot and the slot's serial, so that a copy held past its session's end is known.
std::uint64_t SessionKey(std::uint32_t slot, std::uint32_t serial)
{
    return std::uint64_t{serial} << 32 | slot;
}

class Proxy final
{
public:
    // How long the last frames' answers are waited for once nothing more is taken from the panels.
    static constexpr std::chrono::milliseconds ANSWER_GRACE{1000};

    Proxy(const ProxyOptions& options, std::uint32_t bindAddress, Endpoint centre, CommandRun& run)
        : m_options(options), m_bindAddress(bindAddress), m_centre(centre), m_run(run),
          m_sessions({std::chrono::milliseconds(static_cast<std::int64_t>(options.idleS * 1000)),
                      options.maxSessions}),
          m_watch(options.watch, run, [this](MetricsTotals& totals) { AddTotals(totals); })
    {
        m_seed = options.seed ? *options.seed : std::random_device{}();
        m_engine = FaultEngine(m_seed);
        ConnectOneShot(m_faultTimer, [this] { OnFaultsDue(); });
        ConnectOneShot(m_durationTimer, [this] { OnDuration(); });
        OnTimeout(m_expiryTimer, [this] { Expire(); });
        m_run.OnInterrupt([this](int) { m_run.Finish(EXIT_OK); });
        m_run.OnHangup([this] { RereadRules(); });
        m_run.OnSummary([this](LineOutput& output, int) { WriteSummary(output); });
    }

    Status Start()
    {
        if (auto rules = LoadRules(); !rules)
            return rules;
        RaiseOpenFileLimit(m_options.maxSessions + 64);
        if (auto init = m_upstream.Init(); !init)
            return init;
        BatchUdpSocket::Options socketOptions;
        socketOptions.bindAddress = m_bindAddress;
        socketOptions.port = m_options.port;
        socketOptions.receiveBuffer = m_options.receiveBuffer;
        auto socket = m_run.OpenSocket(
            socketOptions,
            [this](auto batch, const CommandRun::Arrival& arrival) { FromPanels(batch, arrival); },
            {.afterBatches = [this] { AfterWake(); }});
        if (!socket)
            return Failure(socket.error());
        m_panels = *socket;
        m_local = m_panels->LocalAddress();
        m_upstreamNotifier = std::make_unique<QSocketNotifier>(m_upstream.Handle(), QSocketNotifier::Read);
        QObject::connect(m_upstreamNotifier.get(), &QSocketNotifier::activated, m_upstreamNotifier.get(),
                         [this] { FromCentre(); });
        if (auto watching = m_watch.Start(*m_panels); !watching)
            return watching;
        if (auto control = StartControl(); !control)
            return control;
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
    // Where it listens, told once: the one place a listening line is written.
    void Announce() const
    {
        const std::array control{
            RecordField{"control", std::uint64_t{m_control ? m_control->Address().port : 0U}}};
        m_run.Output().Listening(m_local, std::span(control).first(m_control ? 1 : 0));
        std::fprintf(stderr, "proxy listening on %s, forwarding to %s (%zu rules, seed %llu)\n",
                     m_local.ToString().c_str(), m_centre.ToString().c_str(), m_engine.Rules().size(),
                     static_cast<unsigned long long>(m_seed));
        if (m_control)
            std::fprintf(stderr, "proxy control on http://%s/rules\n",
                         m_control->Address().ToString().c_str());
    }

    Status StartControl()
    {
        if (!m_options.controlPort)
            return {};
        auto control = ProxyControl::Start(static_cast<std::uint16_t>(*m_options.controlPort), m_engine);
        if (!control)
            return Failure(control.error());
        m_control = std::move(*control);
        return {};
    }

    Status LoadRules()
    {
        for (const auto& text : m_options.rules) {
            auto rule = ParseFaultRule(text);
            if (!rule)
                return Failure(fmt::format("--rule '{}': {}", text, rule.error()));
            m_engine.Add(std::move(*rule), FROM_COMMAND_LINE);
        }
        return ReadRulesFile();
    }

    // The file's rules replaced by what it says now; a bad file leaves them as they were.
    Status ReadRulesFile()
    {
        if (m_options.rulesPath.empty())
            return {};
        auto rules = ReadFaultRules(m_options.rulesPath);
        if (!rules)
            return Failure(rules.error());
        m_engine.Clear(FROM_FILE);
        for (auto& rule : *rules)
            m_engine.Add(std::move(rule), FROM_FILE);
        return {};
    }

    // SIGHUP.
    void RereadRules()
    {
        if (m_options.rulesPath.empty())
            return;
        if (auto read = ReadRulesFile(); !read) {
            PrintError(read.error() + " (rules kept)");
            return;
        }
        std::fprintf(stderr, "proxy rules reread from %s: %zu rules\n", m_options.rulesPath.c_str(),
                     m_engine.Rules().size());
    }

    void FromPanels(std::span<const BatchUdpSocket::Received> batch, const CommandRun::Arrival& arrival)
    {
        for (const auto& datagram : batch) {
            if (!m_receiving)
                return;
            Up(datagram, arrival);
            if (m_options.count != 0 && m_up.received >= m_options.count)
                StopReceiving();
        }
    }

    void Up(const BatchUdpSocket::Received& datagram, const CommandRun::Arrival& arrival)
    {
        ++m_up.received;
        const auto bytes = datagram.bytes.first(std::min(datagram.bytes.size(), datagram.size));
        const FrameRecord heard = MakeRecord(arrival.wallUs, Direction::In, datagram.from,
                                             {datagram.localAddress, m_local.port}, bytes);
        m_run.Capture(heard);
        const auto session = OpenSession(datagram, arrival);
        if (!session)
            return;
        m_watch.Heard(heard);
        if (std::holds_alternative<AckFrame>(AcknowledgementFor(bytes)))
            m_pairing.PanelSent(datagram.from, bytes, arrival.now);
        const FaultDatagram faulted{true,  *session,       datagram.from,
                                    bytes, &heard.decoded, {arrival.wallUs, -1}};
        if (m_engine.Submit(faulted, arrival.now) == FaultEngine::Fate::Untouched)
            SendUp(*session, datagram.from, bytes, heard.decoded, {}, false, faulted.carried);
        SendReady();
    }

    // The datagram's session, opened when new; none when refused (its line says why).
    std::optional<std::uint64_t> OpenSession(const BatchUdpSocket::Received& datagram,
                                             const CommandRun::Arrival& arrival)
    {
        const auto opened = m_sessions.Up(datagram.from, arrival.now);
        std::string_view refusal;
        if (!opened) {
            refusal = "refused: sessions at their bound";
        } else if (opened->created) {
            if (auto open = m_upstream.Open(opened->slot, 0, m_centre, m_options.receiveBuffer); !open) {
                if (!m_openFailed)
                    PrintError(open.error());
                m_openFailed = true;
                m_sessions.End(opened->slot);
                refusal = "refused: no socket for a session";
            }
            if (opened->slot >= m_replySource.size())
                m_replySource.resize(opened->slot + 1);
        }
        if (!refusal.empty()) {
            if (!m_refusedTold)
                PrintError(fmt::format("{} sessions at most: datagrams from new panels are refused",
                                       m_options.maxSessions));
            m_refusedTold = true;
            ++m_refused;
            FrameRecord line = MakeRecord(arrival.wallUs, Direction::In, datagram.from,
                                          {datagram.localAddress, m_local.port}, datagram.bytes);
            line.note = refusal;
            m_run.Output().Record(line);
            return std::nullopt;
        }
        m_replySource[opened->slot] = datagram.replySource;
        return SessionKey(opened->slot, m_sessions.At(opened->slot)->serial);
    }

    void FromCentre()
    {
        const MonoTime now = MonoClock::now();
        const std::int64_t wallUs = WallClockUs();
        m_upstream.Drain(
            [&](std::uint32_t slot, std::span<const std::uint8_t> bytes, std::size_t size) {
                Down(slot, bytes.first(std::min(bytes.size(), size)), now, wallUs);
            },
            4096);
        AfterWake();
    }

    void Down(std::uint32_t slot, std::span<const std::uint8_t> bytes, MonoTime now, std::int64_t wallUs)
    {
        const auto panel = m_sessions.Down(slot, now);
        if (!panel || m_run.Finished())
            return;
        ++m_down.received;
        // The upstream socket's address costs a system call: asked for only for the capture.
        const FrameRecord heard =
            MakeRecord(wallUs, Direction::In, m_centre,
                       m_run.Capturing() ? m_upstream.LocalAddress(slot) : Endpoint{}, bytes);
        m_run.Capture(heard);
        const std::int64_t centreRtt = m_pairing.CentreAnswered(*panel, bytes, heard.decoded, now);
        const std::uint64_t session = SessionKey(slot, m_sessions.At(slot)->serial);
        const FaultDatagram faulted{false, session, *panel, bytes, &heard.decoded, {wallUs, centreRtt}};
        if (m_engine.Submit(faulted, now) == FaultEngine::Fate::Untouched)
            QueueDown(session, *panel, bytes, heard.decoded, {}, false, faulted.carried);
        SendReady();
    }

    // The slot of a session still open with that key; none once it ended.
    std::optional<std::uint32_t> LiveSlot(std::uint64_t session) const
    {
        const auto slot = static_cast<std::uint32_t>(session);
        const auto* open = m_sessions.At(slot);
        if (open == nullptr || open->serial != static_cast<std::uint32_t>(session >> 32))
            return std::nullopt;
        return slot;
    }

    // A datagram gathered in a wake-up, to go out in one batch with the others of its way.
    struct Pending
    {
        std::uint64_t session{0};
        Endpoint panel;
        std::size_t offset{0};
        std::size_t size{0};
        DecodedFrame decoded;
        FaultMarks marks;
        std::array<std::int64_t, 2> carried{};
    };

    // A datagram on its way to the centre: gathered with the others of the wake-up, sent by FlushUp.
    void SendUp(std::uint64_t session, const Endpoint& panel, std::span<const std::uint8_t> bytes,
                const DecodedFrame& decoded, const FaultMarks& marks, bool dropped,
                const std::array<std::int64_t, 2>& carried)
    {
        const auto slot = LiveSlot(session);
        if (dropped || !slot) {
            Count(m_up, marks, true, 0);
            WriteLine(true, panel, bytes, decoded, marks, slot ? std::string_view{} : "session ended",
                      carried[0], 0, std::nullopt, std::nullopt, slot.value_or(0));
            return;
        }
        m_pendingUp.push_back(
            {session, panel, m_pendingUpBytes.size(), bytes.size(), decoded, marks, carried});
        m_pendingUpBytes.insert(m_pendingUpBytes.end(), bytes.begin(), bytes.end());
    }

    // The datagrams gathered in a wake-up, in order, each session's run of them in one batch, each with its
    // line: the centre meets a panel's burst as the panel sent it.
    void FlushUp()
    {
        for (std::size_t first = 0; first < m_pendingUp.size();) {
            const std::uint64_t session = m_pendingUp[first].session;
            std::size_t end = first;
            m_upDatagrams.clear();
            for (; end < m_pendingUp.size() && m_pendingUp[end].session == session; ++end)
                m_upDatagrams.push_back(
                    std::span(m_pendingUpBytes).subspan(m_pendingUp[end].offset, m_pendingUp[end].size));
            const auto slot = LiveSlot(session).value_or(static_cast<std::uint32_t>(session));
            const std::int64_t sentUs = WallClockUs();
            const MonoTime now = MonoClock::now();
            m_upstream.SendEach(slot, m_upDatagrams, [&](std::size_t i, int error) {
                const Pending& p = m_pendingUp[first + i];
                const auto bytes = m_upDatagrams[i];
                if (error == 0 && std::holds_alternative<AckFrame>(AcknowledgementFor(bytes)))
                    m_pairing.CentreSent(p.panel, bytes, now);
                if (m_run.Capturing())
                    m_run.Capture(MakeRecord(sentUs, Direction::Out, m_centre, m_upstream.LocalAddress(slot),
                                             bytes, error));
                Count(m_up, p.marks, false, error);
                WriteLine(true, p.panel, bytes, p.decoded, p.marks, {}, p.carried[0], error, std::nullopt,
                          std::nullopt, slot);
            });
            first = end;
        }
        m_pendingUp.clear();
        m_pendingUpBytes.clear();
    }

    void QueueDown(std::uint64_t session, const Endpoint& panel, std::span<const std::uint8_t> bytes,
                   const DecodedFrame& decoded, const FaultMarks& marks, bool dropped,
                   const std::array<std::int64_t, 2>& carried)
    {
        if (dropped || !LiveSlot(session)) {
            Count(m_down, marks, true, 0);
            WriteLine(false, panel, bytes, decoded, marks, {}, carried[0], 0, carried[1], std::nullopt,
                      static_cast<std::uint32_t>(session));
            return;
        }
        m_pendingDown.push_back(
            {session, panel, m_pendingDownBytes.size(), bytes.size(), decoded, marks, carried});
        m_pendingDownBytes.insert(m_pendingDownBytes.end(), bytes.begin(), bytes.end());
    }

    // The answers gathered in a wake-up, to the panels in one batch, each with its line.
    void FlushDown()
    {
        if (m_pendingDown.empty())
            return;
        m_outgoing.clear();
        for (const auto& p : m_pendingDown)
            m_outgoing.push_back({p.panel, m_replySource[static_cast<std::uint32_t>(p.session)],
                                  std::span(m_pendingDownBytes).subspan(p.offset, p.size)});
        const MonoTime now = MonoClock::now();
        m_panels->SendEach(m_outgoing, [&](std::size_t i, int error) {
            const auto& p = m_pendingDown[i];
            const auto bytes = m_outgoing[i].bytes;
            const auto match = error == 0 ? m_pairing.PanelAnswered(p.panel, bytes, p.decoded, now)
                                          : ProxyPairing::PanelMatch{};
            Count(m_down, p.marks, false, error);
            WriteLine(false, p.panel, bytes, p.decoded, p.marks, match.note, p.carried[0], error,
                      p.carried[1], match.rttUs, static_cast<std::uint32_t>(p.session));
            if (m_run.Capturing())
                m_run.Capture(MakeRecord(
                    WallClockUs(), Direction::Out, p.panel,
                    {m_outgoing[i].sourceAddress != 0 ? m_outgoing[i].sourceAddress : m_local.address,
                     m_local.port},
                    bytes, error));
        });
        m_pendingDown.clear();
        m_pendingDownBytes.clear();
    }

    // The copies the rules let go now, each its way.
    void SendReady()
    {
        auto& ready = m_engine.Ready();
        for (auto& copy : ready) {
            const DecodedFrame decoded = DecodeFrame(copy.bytes);
            if (copy.up)
                SendUp(copy.session, copy.panel, copy.bytes, decoded, copy.marks, copy.dropped, copy.carried);
            else
                QueueDown(copy.session, copy.panel, copy.bytes, decoded, copy.marks, copy.dropped,
                          copy.carried);
        }
        ready.clear();
    }

    void Count(ProxyWayCounts& way, const FaultMarks& marks, bool dropped, int error)
    {
        if (!marks.Empty())
            ++way.faulted;
        if (dropped)
            ++way.dropped;
        else if (error != 0)
            ++way.sendFailed;
        else
            ++way.forwarded;
    }

    void WriteLine(bool up, const Endpoint& panel, std::span<const std::uint8_t> bytes,
                   const DecodedFrame& decoded, const FaultMarks& marks, std::string_view note,
                   std::int64_t wallUs, int error, std::optional<std::int64_t> centreRtt,
                   std::optional<std::int64_t> panelRtt, std::uint32_t slot)
    {
        FrameRecord line;
        line.wallUs = wallUs;
        line.direction = up ? Direction::In : Direction::Out;
        line.peer = panel;
        line.local = m_local;
        line.bytes = bytes;
        line.decoded = decoded;
        line.sendError = error;
        line.note = note;
        m_faultNames.clear();
        m_faultRules.clear();
        AppendFaults(marks, m_faultNames, m_faultRules);
        m_fields.clear();
        m_fields.push_back({"way", up ? std::string_view("up") : std::string_view("down")});
        m_fields.push_back({"session", std::uint64_t{slot}});
        if (!m_faultNames.empty()) {
            m_fields.push_back({"fault", std::string_view(m_faultNames)});
            m_fields.push_back({"rule", static_cast<std::uint64_t>(marks.Marks().back().rule)});
            if (marks.Marks().size() > 1)
                m_fields.push_back({"rules", std::string_view(m_faultRules)});
        }
        if (centreRtt && *centreRtt >= 0)
            m_fields.push_back({"centre_rtt_us", *centreRtt});
        if (panelRtt)
            m_fields.push_back({"panel_rtt_us", *panelRtt});
        line.extra = m_fields;
        m_run.Output().Record(line);
    }

    void AfterWake()
    {
        FlushUp();
        FlushDown();
        ArmFaultTimer();
        m_run.EndOfBatch();
    }

    void OnFaultsDue()
    {
        m_engine.Release(MonoClock::now());
        SendReady();
        AfterWake();
    }

    // Ends the run too once nothing is taken and nothing is held, and the answers to the last frames came
    // (or a grace went by).
    void ArmFaultTimer()
    {
        const MonoTime now = MonoClock::now();
        auto due = m_engine.NextDue();
        if (!due && !m_receiving) {
            if (m_pairing.CentreWaiting() == 0 || now >= m_stoppedAt + ANSWER_GRACE) {
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

    void Expire()
    {
        m_sessions.Expire(MonoClock::now(), [this](std::uint32_t slot) { m_upstream.Close(slot); });
    }

    void AddTotals(MetricsTotals& totals) const
    {
        totals.framesReceived += m_up.received + m_down.received;
        totals.framesSent += m_up.forwarded + m_down.forwarded;
        totals.proxy = ProxyTotals{{m_up.forwarded, m_down.forwarded},
                                   {m_up.faulted, m_down.faulted},
                                   static_cast<std::uint64_t>(m_sessions.Active()),
                                   m_sessions.OpenedCount(),
                                   m_refused};
    }

    void WriteSummary(LineOutput& output) const
    {
        auto fields = ProxySummaryFields(m_up, m_down, m_sessions);
        m_pairing.AppendSummary(fields);
        fields.push_back({"rules", static_cast<std::uint64_t>(m_engine.Rules().size())});
        fields.push_back({"held_at_exit", static_cast<std::uint64_t>(m_engine.Held())});
        fields.push_back({"upstream_errors", m_upstream.ReceiveErrors()});
        fields.push_back({"kernel_drops", m_panels != nullptr ? m_panels->KernelDrops() : 0});
        fields.push_back({"seed", m_seed});
        m_watch.AppendSummary(fields);
        output.Summary("proxy", fields);
    }

    ProxyOptions m_options;
    std::uint32_t m_bindAddress{0};
    Endpoint m_centre;
    CommandRun& m_run;
    ProxySessions m_sessions;
    CentreWatch m_watch;
    FaultEngine m_engine;
    SessionSockets m_upstream;
    std::unique_ptr<QSocketNotifier> m_upstreamNotifier;
    std::unique_ptr<ProxyControl> m_control;
    BatchUdpSocket* m_panels{nullptr};
    Endpoint m_local;
    std::uint64_t m_seed{0};
    ProxyPairing m_pairing;
    ProxyWayCounts m_up;
    ProxyWayCounts m_down;
    std::uint64_t m_refused{0};
    std::vector<std::uint32_t> m_replySource; // by slot: the local address the panel sent to
    std::vector<Pending> m_pendingUp;
    std::vector<std::uint8_t> m_pendingUpBytes;
    std::vector<std::span<const std::uint8_t>> m_upDatagrams;
    std::vector<Pending> m_pendingDown;
    std::vector<std::uint8_t> m_pendingDownBytes;
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
    std::vector<RecordField> m_fields;
    std::string m_faultNames;
    std::string m_faultRules;
    QTimer m_faultTimer;
    QTimer m_durationTimer;
    QTimer m_expiryTimer;
    MonoTime m_durationEnd;
    MonoTime m_stoppedAt;
    bool m_receiving{true};
    bool m_refusedTold{false};
    bool m_openFailed{false};
};

int RunProxy(ProxyOptions& options)
{
    auto address = ResolveIpv4(options.bind);
    if (!address)
        return UsageError(address.error());
    auto centre = ResolveHostPort(options.toText);
    if (!centre)
        return UsageError(centre.error());
    // Every rule is checked before anything opens: a bad one is a usage error naming it.
    for (const auto& text : options.rules)
        if (auto rule = ParseFaultRule(text); !rule)
            return UsageError(fmt::format("--rule '{}': {}", text, rule.error()));
    if (!options.rulesPath.empty())
        if (auto rules = ReadFaultRules(options.rulesPath); !rules)
            return UsageError(rules.error());
    return ExecDriver<Proxy>("proxy", options.output, options, *address, *centre);
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
