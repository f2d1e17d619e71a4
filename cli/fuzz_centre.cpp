#include "cli/fuzz_sides.h"

#include "capture/capture_reader.h"
#include "cli/common_options.h"
#include "link/pacer.h"
#include "link/rate_text.h"
#include "net/host_port.h"
#include "suite/fuzz_cases.h"
#include "suite/fuzz_finding.h"
#include "suite/fuzz_liveness.h"
#include "suite/fuzz_minimiser.h"
#include "suite/fuzz_rule.h"
#include "verdict/verdict.h"

#include <QTimer>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <random>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;

// Most cases sent in one wake-up, so that answers and the probe are read between them.
constexpr std::uint64_t CASES_PER_WAKE = 256;
// The frames since the last answered probe that a finding keeps; the oldest go first.
constexpr std::size_t RECENT_LIMIT = 4096;
// Seeds taken from a capture at most.
constexpr std::size_t CAPTURE_SEEDS = 10'000;
// Tries of the minimiser at most, each a restart.
constexpr int MINIMISER_TRIES = 150;

Result<std::vector<Bytes>> CaptureSeeds(const std::string& path)
{
    std::vector<Bytes> seeds;
    if (path.empty())
        return seeds;
    auto reader = CaptureReader::Open(path);
    if (!reader)
        return Failure(reader.error());
    while (seeds.size() < CAPTURE_SEEDS) {
        auto next = (*reader)->Next();
        if (!next)
            return Failure(next.error());
        if (!*next)
            break;
        const auto payload = (*next)->payload;
        if (!payload.empty() && payload.size() <= FRAME_BUFFER_SIZE && !IsAcknowledgement(payload))
            seeds.emplace_back(payload.begin(), payload.end());
    }
    if (seeds.empty())
        return Failure(fmt::format("{}: no frame to start from", path));
    return seeds;
}

// The command line that runs the same cases again.
std::string ReproduceLine(const FuzzCentreOptions& o, std::uint64_t seed, std::uint64_t cases)
{
    std::string line =
        fmt::format("veltrano-cli fuzz centre --to {} --seed {} --cases {} --rate {} --probe-every {}", o.to,
                    seed, cases, o.rate, o.probeEvery);
    line += ClassSelection(o.common);
    if (!o.fromCapture.empty())
        line += " --from-capture " + o.fromCapture;
    return line;
}

// The blocking side of a run with --restart: the command, then probes until the centre answers, and the
// minimiser's tries, each a restart first. The run waits for each anyway.
class CentreRestarts final
{
public:
    // `probe` and its acknowledgement `probeAck` are the run's.
    CentreRestarts(const FuzzCentreOptions& options, const Endpoint& target, BatchUdpSocket& socket,
                   const Bytes& probe, const Bytes& probeAck)
        : m_options(options), m_target(target), m_socket(socket), m_probe(probe), m_probeAck(probeAck)
    {}

    // Runs --restart, then probes until an answer, within --restart-timeout.
    bool Restart()
    {
        const MonoTime deadline = MonoClock::now() + Micros(m_options.common.restartTimeoutS);
        if (!RunRestart(m_options.common.restart, deadline))
            return false;
        while (MonoClock::now() < deadline) {
            const MonoTime until = std::min(deadline, MonoClock::now() + Micros(m_options.probeTimeoutS));
            if (ProbeAnsweredBy(until))
                return true;
        }
        return false;
    }

    // One try: the centre restarted, the frames sent, then the probe with its resends; the fault came again
    // when none is answered.
    bool Reproduces(std::span<const FuzzFrame> frames)
    {
        if (!Restart())
            return false;
        std::vector<BatchUdpSocket::Outgoing> outgoing;
        for (const FuzzFrame& frame : frames)
            outgoing.push_back({m_target, 0, frame.bytes});
        m_socket.SendEach(outgoing, [](std::size_t, int) {});
        for (int attempt = 0; attempt <= m_options.probeRetries; ++attempt) {
            if (ProbeAnsweredBy(MonoClock::now() + Micros(m_options.probeTimeoutS)))
                return false;
        }
        return true;
    }

private:
    // Sends the probe and reads until its answer or `until`; what else comes is dropped, as it answers a
    // minimiser's frames.
    bool ProbeAnsweredBy(MonoTime until)
    {
        const BatchUdpSocket::Outgoing probe{m_target, 0, m_probe};
        m_socket.SendEach(std::span(&probe, 1), [](std::size_t, int) {});
        while (MonoClock::now() < until) {
            for (const auto& datagram : ReceiveBy(m_socket, until)) {
                if (std::ranges::equal(datagram.bytes, m_probeAck)) {
                    Drain();
                    return true;
                }
            }
        }
        return false;
    }

    void Drain()
    {
        for (int i = 0; i < 64; ++i) {
            auto received = m_socket.Receive();
            if (received && received->empty())
                return;
        }
    }

    const FuzzCentreOptions& m_options;
    Endpoint m_target;
    BatchUdpSocket& m_socket;
    const Bytes& m_probe;
    const Bytes& m_probeAck;
};

// "silent for 1.5 s within cases 40 to 90; last case 90 (checksum: ...)": what a crash or hang shows.
std::string FaultMessage(const FuzzFinding& finding)
{
    const std::string what = finding.kind == FindingKind::Hang
                                 ? fmt::format("silent for {}", FormatMicros(finding.length.count()))
                                 : "silent since";
    if (finding.frames.empty())
        return fmt::format("{} before any case", what);
    const FuzzFrame& last = finding.frames.back();
    return fmt::format("{} {} cases {} to {}; {} case {} ({}: {})", what,
                       finding.minimised ? "after" : "within", finding.frames.front().caseIndex,
                       last.caseIndex, finding.minimised ? "decisive" : "last", last.caseIndex,
                       FuzzClasses()[last.row].id, FuzzClasses()[last.row].sentence);
}

// What a finding of `fuzz centre` is made of: the cases sent since the target last answered a probe and the
// capture since then, and the findings built from them.
class CentreEvidence final
{
public:
    CentreEvidence(const FuzzCentreOptions& options, const Endpoint& target, std::uint64_t seed,
                   CommandRun& run)
        : m_options(options), m_target(target), m_seed(seed), m_capture(options.common.pcap, run)
    {}

    Status Open() { return m_capture.Open(); }
    Status Close() { return m_capture.Close(); }
    void SetLocal(const Endpoint& local) { m_local = local; }

    void Sent(FuzzFrame frame, std::int64_t wallUs)
    {
        Capture(true, frame.bytes, wallUs);
        if (m_recent.size() >= RECENT_LIMIT)
            m_recent.erase(m_recent.begin());
        m_recent.push_back(std::move(frame));
    }
    void Capture(bool sent, std::span<const std::uint8_t> bytes, std::int64_t wallUs,
                 const Endpoint& from = {})
    {
        m_capture.Record(sent, bytes, wallUs, m_local, sent ? m_target : from);
    }
    // A round of probes starts with the next case.
    void RoundStarted(std::uint64_t nextCase, std::int64_t wallUs) { m_round = {nextCase, wallUs}; }
    // The target lived past the round's first probe: what went before it is cleared, the cases sent while it
    // waited are the next round's.
    void RoundSurvived()
    {
        std::erase_if(m_recent, [this](const FuzzFrame& f) { return f.caseIndex < m_round.firstCase; });
        m_capture.ForgetBefore(m_round.startUs);
    }

    FuzzFinding Rule(const FuzzAnswerRule::Broken& broken, const FuzzCase& c,
                     std::span<const std::uint8_t> answer, std::int64_t wallUs, std::uint64_t nextCase) const
    {
        FuzzFinding finding = NewFinding(FindingKind::Rule, nextCase);
        for (const Bytes& datagram : c.datagrams) {
            finding.frames.push_back({datagram, c.index, c.row});
            finding.capture.push_back({wallUs, true, datagram});
        }
        finding.capture.push_back({wallUs, false, Bytes(answer.begin(), answer.end())});
        finding.expected = broken.expected;
        finding.got = broken.got;
        finding.message =
            fmt::format("case {} ({}: {}): {}", c.index, FuzzClasses()[c.row].id,
                        FuzzClasses()[c.row].sentence, ExpectedGot(broken.expected, broken.got));
        return finding;
    }

    // A crash or hang: the round's cases and capture, taken, and minimised by `reproduces` with --restart.
    FuzzFinding Fault(FindingKind kind, std::chrono::microseconds length, std::uint64_t nextCase,
                      const Reproduces& reproduces)
    {
        FuzzFinding finding = NewFinding(kind, nextCase);
        finding.length = length;
        finding.frames = std::move(m_recent);
        m_recent.clear();
        finding.capture = m_capture.Take();
        MinimiseFinding(m_options.common, finding, reproduces, MINIMISER_TRIES);
        finding.message = FaultMessage(finding);
        return finding;
    }

private:
    FuzzFinding NewFinding(FindingKind kind, std::uint64_t nextCase) const
    {
        FuzzFinding finding;
        finding.kind = kind;
        finding.seed = m_seed;
        finding.local = m_local;
        finding.target = m_target;
        finding.probeTimeoutMs = static_cast<int>(m_options.probeTimeoutS * 1000);
        finding.command = ReproduceLine(m_options, m_seed, nextCase);
        return finding;
    }

    const FuzzCentreOptions& m_options;
    Endpoint m_target;
    Endpoint m_local;
    std::uint64_t m_seed{0};
    struct Round
    {
        std::uint64_t firstCase{0}; // the first case sent after the round's first probe
        std::int64_t startUs{0};
    } m_round;
    std::vector<FuzzFrame> m_recent;
    FuzzCapture m_capture;
};

// The probe's resends and a suspect target, as the run's lines tell them.
void LivenessLine(CommandRun& run, const Liveness::Event& event, std::uint64_t nextCase, double confirmS)
{
    if (event.kind == Liveness::Event::Kind::Resend)
        FuzzLine(run, "resend", nextCase,
                 fmt::format("resend: probe attempt {} after case {}", event.attempt, nextCase),
                 [&](JsonLine& j) { j.Number("attempt", event.attempt); });
    else
        FuzzLine(run, "suspect", nextCase,
                 fmt::format("suspect: {} probes unanswered after case {}; probing for {} s", event.attempt,
                             nextCase, confirmS),
                 [&](JsonLine& j) { j.Number("probes", event.attempt).Number("confirm_s", confirmS); });
}

// The sockets and timers of `fuzz centre`: cases at the pace asked for, the probe when the liveness judge
// wants it, every answer to the rule, and the findings written as they come.
class CentreFuzzer final
{
public:
    CentreFuzzer(const FuzzCentreOptions& options, const Endpoint& target, std::vector<std::size_t> rows,
                 std::vector<Bytes> seeds, Pacer::Mode pace, CommandRun& run)
        : m_options(options), m_target(target),
          m_stream(options.common.seed.value_or(std::random_device{}()), std::move(rows), std::move(seeds)),
          m_live(LivenessSettings(options), MonoClock::now()), m_pace(pace), m_pacer(pace, MonoClock::now()),
          m_run(run), m_probe(ProbeFrame()), m_evidence(m_options, m_target, m_stream.Seed(), run),
          m_findings(options.common, run, "fuzz centre")
    {
        const auto ack = std::get<AckFrame>(AcknowledgementFor(m_probe));
        m_probeAck.assign(ack.begin(), ack.end());
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        OnTimeout(m_timer, [this] { Pump(); });
        m_run.OnInterrupt([this](int) { m_run.Finish(ExitCode()); });
        m_run.OnSummary([this](LineOutput&, int) { Summary(); });
        m_run.OnJunit(options.common.junit, [this](const std::string& path) { return WriteJunitFile(path); });
        m_run.OnEndFile(options.common.pcap, [this](const std::string&) { return m_evidence.Close(); });
        m_run.ShowProgress([this] {
            return fmt::format("fuzz centre {}: {} cases, {} probes, {} resends, {} findings",
                               m_target.ToString(), m_nextCase, m_live.Totals().probes,
                               m_live.Totals().resends, m_findings.Count());
        });
    }

    Status Start()
    {
        if (auto opened = m_evidence.Open(); !opened)
            return opened;
        CommandRun::Reading reading;
        reading.error = [this](const std::string&) { OnLiveness(m_live.Unreachable(MonoClock::now())); };
        reading.afterBatches = [this] { Pump(); };
        BatchUdpSocket::Options socket;
        socket.peer = m_target; // connected: a closed port comes back as an error
        socket.receiveBuffer = DEFAULT_RECEIVE_BUFFER;
        auto opened = m_run.OpenSocket(
            socket, [this](auto batch, const CommandRun::Arrival& arrival) { OnBatch(batch, arrival); },
            std::move(reading));
        if (!opened)
            return Failure(opened.error());
        m_socket = *opened;
        m_local = m_socket->LocalAddress();
        m_evidence.SetLocal(m_local);
        m_restarts.emplace(m_options, m_target, *m_socket, m_probe, m_probeAck);
        m_started = MonoClock::now();
        m_timer.start(0);
        return {};
    }

private:
    static Liveness::Settings LivenessSettings(const FuzzCentreOptions& o)
    {
        return {o.probeEvery, Micros(o.probeTimeoutS), o.probeRetries, Micros(o.common.confirmS)};
    }

    int ExitCode() const { return m_findings.Empty() ? EXIT_OK : EXIT_EXPECTATION_FAILED; }

    void Pump()
    {
        if (m_run.Finished())
            return;
        MonoTime now = MonoClock::now();
        OnLiveness(m_live.Tick(now));
        if (m_run.Finished())
            return;
        if (m_live.MaySendCase())
            SendCases(now);
        if (m_live.ProbeDue(now))
            SendProbe(now);
        Schedule(MonoClock::now());
    }

    bool BoundReached(MonoTime now) const
    {
        return (m_options.cases > 0 && m_nextCase >= m_options.cases) ||
               (m_options.common.durationS > 0 && now - m_started >= Micros(m_options.common.durationS));
    }

    void SendCases(MonoTime now)
    {
        if (BoundReached(now)) {
            // A last probe, so that a fault of the last cases is not missed.
            m_ending = true;
            m_live.ProbeNow(now);
            return;
        }
        std::uint64_t owed = m_pacer.Windowed() ? CASES_PER_WAKE : m_pacer.MayGo(now, m_paced, 0);
        owed = std::min(owed, CASES_PER_WAKE);
        if (m_options.cases > 0)
            owed = std::min(owed, m_options.cases - m_nextCase);
        std::vector<FuzzCase> cases;
        cases.reserve(owed);
        for (std::uint64_t i = 0; i < owed && m_live.MaySendCase(); ++i) {
            cases.push_back(m_stream.At(m_nextCase++));
            m_findings.CaseOf(cases.back().row);
            m_live.CaseSent(now);
        }
        m_paced += cases.size();
        std::vector<BatchUdpSocket::Outgoing> outgoing;
        const std::int64_t wallUs = WallUs();
        for (const FuzzCase& c : cases) {
            for (const Bytes& datagram : c.datagrams) {
                outgoing.push_back({m_target, 0, datagram});
                m_rule.Sent(m_target, datagram, c.index, now);
                m_evidence.Sent({datagram, c.index, c.row}, wallUs);
            }
        }
        Send(outgoing);
    }

    void SendProbe(MonoTime now)
    {
        const BatchUdpSocket::Outgoing probe{m_target, 0, m_probe};
        const std::int64_t wallUs = WallUs();
        if (!m_live.RoundOpen())
            m_evidence.RoundStarted(m_nextCase, wallUs);
        Send(std::span(&probe, 1));
        m_live.ProbeSent(now);
        m_evidence.Capture(true, m_probe, wallUs);
    }

    void Send(std::span<const BatchUdpSocket::Outgoing> outgoing)
    {
        m_socket->SendEach(outgoing, [this, outgoing](std::size_t i, int error) {
            if (error == 0 || m_run.Finished())
                return;
            if (error == ECONNREFUSED) {
                OnLiveness(m_live.Unreachable(MonoClock::now()));
                return;
            }
            PrintError(fmt::format("cannot send to {}: {}", outgoing[i].to.ToString(), std::strerror(error)));
            m_run.Finish(EXIT_IO);
        });
    }

    void Schedule(MonoTime now)
    {
        if (m_run.Finished())
            return;
        std::chrono::milliseconds wait{0};
        if (m_live.MaySendCase()) {
            if (!m_pacer.Windowed())
                wait = m_pacer.WaitFrom(now, m_paced, std::nullopt);
        } else if (const auto deadline = m_live.NextDeadline()) {
            wait = TimerWait(*deadline, now);
        } else {
            return; // the probe's answer wakes the run
        }
        m_timer.start(wait);
    }

    void OnBatch(std::span<const BatchUdpSocket::Received> batch, const CommandRun::Arrival& arrival)
    {
        for (const auto& datagram : batch) {
            if (m_run.Finished())
                return;
            m_evidence.Capture(false, datagram.bytes, arrival.wallUs, datagram.from);
            if (datagram.from == m_target && std::ranges::equal(datagram.bytes, m_probeAck)) {
                OnProbeAnswered(arrival.now);
                continue;
            }
            if (auto broken = m_rule.Received(datagram.from, datagram.bytes, arrival.now))
                m_findings.Report(m_evidence.Rule(*broken, m_stream.At(broken->caseIndex), datagram.bytes,
                                                  arrival.wallUs, m_nextCase));
        }
    }

    void OnProbeAnswered(MonoTime now)
    {
        if (m_live.Current() != Liveness::Phase::Probing && m_live.Current() != Liveness::Phase::Suspect)
            return; // a resent probe's second answer
        const auto event = m_live.Answered(now);
        OnLiveness(event);
        if (!event || event->kind != Liveness::Event::Kind::Hang)
            m_evidence.RoundSurvived();
        if (m_ending && m_live.Current() == Liveness::Phase::Fuzzing && !m_run.Finished())
            m_run.Finish(ExitCode());
    }

    void OnLiveness(const std::optional<Liveness::Event>& event)
    {
        if (!event || m_run.Finished())
            return;
        using Kind = Liveness::Event::Kind;
        switch (event->kind) {
        case Kind::Resend:
        case Kind::Suspect:
            LivenessLine(m_run, *event, m_nextCase, m_options.common.confirmS);
            return;
        case Kind::Recovered:
            return;
        case Kind::Hang:
            Fault(FindingKind::Hang, event->length);
            return;
        case Kind::Crash:
            if (!m_live.EverAnswered()) {
                PrintError(fmt::format("no answer from {} to the probe", m_target.ToString()));
                m_run.Finish(EXIT_IO);
                return;
            }
            Fault(FindingKind::Crash, event->length);
            return;
        }
    }

    void Fault(FindingKind kind, std::chrono::microseconds length)
    {
        m_findings.Report(
            m_evidence.Fault(kind, length, m_nextCase, [this](std::span<const FuzzFrame> frames) {
                return m_restarts->Reproduces(frames);
            }));
        if (m_run.Finished())
            return;
        if (kind == FindingKind::Crash && m_options.common.restart.empty()) {
            m_run.Finish(ExitCode());
            return;
        }
        if (!m_options.common.restart.empty() && !m_restarts->Restart()) {
            PrintError(fmt::format("{} did not answer the probe within {} s of the restart",
                                   m_target.ToString(), m_options.common.restartTimeoutS));
            m_run.Finish(EXIT_IO);
            return;
        }
        const MonoTime now = MonoClock::now();
        m_live.Restarted(now);
        m_pacer = Pacer(m_pace, now);
        m_paced = 0;
    }

    Status WriteJunitFile(const std::string& path) const
    {
        return m_findings.WriteJunit(path, m_stream.Rows(), "fuzz centre " + m_target.ToString(),
                                     fmt::format("the probe answered within {} s", m_options.probeTimeoutS));
    }

    void Summary()
    {
        const double seconds = std::chrono::duration<double>(MonoClock::now() - m_started).count();
        m_findings.Summary({{"cases", m_nextCase},
                            {"probes", m_live.Totals().probes},
                            {"resends", m_live.Totals().resends},
                            {"findings", static_cast<std::uint64_t>(m_findings.Count())},
                            {"seed", m_stream.Seed()},
                            {"rate", seconds > 0 ? static_cast<double>(m_nextCase) / seconds : 0.0}},
                           m_stream.Rows());
    }

    FuzzCentreOptions m_options;
    Endpoint m_target;
    FuzzStream m_stream;
    Liveness m_live;
    FuzzAnswerRule m_rule;
    Pacer::Mode m_pace;
    Pacer m_pacer;
    CommandRun& m_run;
    Bytes m_probe;
    Bytes m_probeAck;
    BatchUdpSocket* m_socket{nullptr};
    Endpoint m_local;
    MonoTime m_started;
    std::uint64_t m_nextCase{0};
    std::uint64_t m_paced{0}; // cases since the pacer's start
    bool m_ending{false};
    CentreEvidence m_evidence;
    FuzzFindings m_findings;
    std::optional<CentreRestarts> m_restarts;
    QTimer m_timer;
};

} // namespace

int RunFuzzCentre(const FuzzCentreOptions& options)
{
    auto rows = ChooseFuzzClasses(FuzzSide::Centre, options.common.only, options.common.skip);
    if (!rows)
        return UsageError(rows.error());
    auto target = ResolveHostPort(options.to);
    if (!target)
        return UsageError(target.error());
    auto pace = PaceOf(options.rate, 1);
    if (!pace)
        return UsageError(pace.error());
    auto seeds = CaptureSeeds(options.fromCapture);
    if (!seeds) {
        PrintError(seeds.error());
        return EXIT_IO;
    }
    return ExecDriver<CentreFuzzer>("fuzz centre", options.common.output, options, *target, std::move(*rows),
                                    std::move(*seeds), *pace);
}
