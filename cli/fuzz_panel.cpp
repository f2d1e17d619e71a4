#include "cli/fuzz_sides.h"

#include "cli/common_options.h"
#include "link/pacer.h"
#include "net/host_port.h"
#include "protocol/acknowledgement.h"
#include "protocol/frame_decoder.h"
#include "suite/fuzz_cases.h"
#include "suite/fuzz_minimiser.h"
#include "suite/fuzz_silence.h"
#include "verdict/verdict.h"

#include <QTimer>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <random>

using namespace veltrano;

namespace {

// Tries of the minimiser at most, each a restart and, when it reproduces, a silence waited out.
constexpr int MINIMISER_TRIES = 40;

std::string ReproduceLine(const FuzzPanelOptions& o, std::uint16_t port, std::uint64_t seed)
{
    std::string line =
        fmt::format("veltrano-cli fuzz panel --port {} --bind {} --seed {} --silence {} --late {}", port,
                    o.bind, seed, o.silenceS, o.lateMs);
    line += ClassSelection(o.common);
    return line;
}

// The blocking side of a run with --restart: the command, then the panel's first frame, and the minimiser's
// tries, each a restart first. The run waits for each anyway.
class PanelRestarts final
{
public:
    struct Frame
    {
        Endpoint from;
        Bytes bytes;
    };

    PanelRestarts(const FuzzPanelOptions& options, BatchUdpSocket& socket)
        : m_options(options), m_socket(socket)
    {}

    // Runs --restart, then waits for the panel's first frame, within --restart-timeout.
    std::optional<Frame> Restart()
    {
        const MonoTime deadline = MonoClock::now() + Micros(m_options.common.restartTimeoutS);
        if (!RunRestart(m_options.common.restart, deadline))
            return std::nullopt;
        return FrameBy(deadline);
    }

    // One try: the panel restarted and its first frame given the answers; the fault came again when no frame
    // follows within --silence. A frame that does is answered right, as it would be.
    bool Reproduces(std::span<const FuzzFrame> answers)
    {
        const auto first = Restart();
        if (!first)
            return false;
        for (const FuzzFrame& answer : answers)
            Send(first->from, answer.bytes);
        const auto next = FrameBy(MonoClock::now() + Micros(m_options.silenceS));
        if (!next)
            return true;
        const auto ack = AcknowledgementFor(next->bytes);
        if (const auto* right = std::get_if<AckFrame>(&ack))
            Send(next->from, *right);
        return false;
    }

private:
    std::optional<Frame> FrameBy(MonoTime until)
    {
        const auto received = ReceiveBy(m_socket, until);
        if (received.empty())
            return std::nullopt;
        return Frame{received.front().from,
                     Bytes(received.front().bytes.begin(), received.front().bytes.end())};
    }

    void Send(const Endpoint& to, std::span<const std::uint8_t> bytes)
    {
        const BatchUdpSocket::Outgoing outgoing{to, 0, bytes};
        m_socket.Send(std::span(&outgoing, 1));
    }

    const FuzzPanelOptions& m_options;
    BatchUdpSocket& m_socket;
};

// What a finding of `fuzz panel` is made of: the answers since the panel's last frame and the capture since
// the last sign of life, and the findings built from them.
class PanelEvidence final
{
public:
    PanelEvidence(const FuzzPanelOptions& options, std::uint64_t seed, CommandRun& run)
        : m_options(options), m_seed(seed), m_capture(options.common.pcap, run)
    {}

    Status Open() { return m_capture.Open(); }
    Status Close() { return m_capture.Close(); }
    void SetLocal(const Endpoint& local) { m_local = local; }

    void Heard(std::span<const std::uint8_t> bytes, std::int64_t wallUs, const Endpoint& panel)
    {
        m_panel = panel;
        m_capture.Record(false, bytes, wallUs, m_local, panel);
    }
    void Sent(std::span<const std::uint8_t> bytes, std::int64_t wallUs, const Endpoint& to)
    {
        m_capture.Record(true, bytes, wallUs, m_local, to);
    }
    void Answered(FuzzFrame answer) { m_recent.push_back(std::move(answer)); }
    void PanelSent() { m_recent.clear(); }

    FuzzFinding Rule(std::span<const std::uint8_t> frame)
    {
        FuzzFinding finding = NewFinding(FindingKind::Rule);
        finding.expected = "well-formed frames, as the panel sent before";
        finding.got = fmt::format("{} ({})", FormatBytesHex(frame), SummarizeFrame(DecodeFrame(frame)));
        finding.message =
            fmt::format("{}: {}", Decisive(finding), ExpectedGot(finding.expected, finding.got));
        return finding;
    }

    // A crash or hang, minimised by `reproduces` with --restart.
    FuzzFinding Fault(FindingKind kind, std::chrono::microseconds length, const Reproduces& reproduces)
    {
        FuzzFinding finding = NewFinding(kind);
        finding.length = length;
        MinimiseFinding(m_options.common, finding, reproduces, MINIMISER_TRIES);
        finding.message =
            kind == FindingKind::Hang
                ? fmt::format("silent for {}; {}", FormatMicros(length.count()), Decisive(finding))
                : fmt::format("silent through {} s and more; {}",
                              m_options.silenceS + m_options.common.confirmS, Decisive(finding));
        m_recent.clear();
        return finding;
    }

private:
    FuzzFinding NewFinding(FindingKind kind)
    {
        FuzzFinding finding;
        finding.kind = kind;
        finding.side = FuzzSide::Panel;
        finding.seed = m_seed;
        finding.local = m_local;
        finding.target = m_panel;
        finding.silenceMs = static_cast<int>(m_options.silenceS * 1000);
        finding.lateMs = m_options.lateMs;
        finding.command = ReproduceLine(m_options, m_local.port, m_seed);
        finding.frames = m_recent;
        finding.capture = m_capture.Take();
        return finding;
    }

    static std::string Decisive(const FuzzFinding& finding)
    {
        if (finding.frames.empty())
            return "no answer since its last frame";
        const FuzzFrame& last = finding.frames.back();
        return fmt::format("{} case {} ({}: {})", finding.minimised ? "decisive" : "last", last.caseIndex,
                           FuzzClasses()[last.row].id, FuzzClasses()[last.row].sentence);
    }

    const FuzzPanelOptions& m_options;
    std::uint64_t m_seed{0};
    Endpoint m_local;
    Endpoint m_panel;
    std::vector<FuzzFrame> m_recent; // the answers since the panel's last frame
    FuzzCapture m_capture;
};

// The socket and timers of `fuzz panel`: every frame of the panel answered by the case stream, the gaps
// between its frames watched, and the findings written as they come.
class PanelFuzzer final
{
public:
    PanelFuzzer(const FuzzPanelOptions& options, std::uint32_t bindAddress, std::vector<std::size_t> rows,
                CommandRun& run)
        : m_options(options), m_bindAddress(bindAddress),
          m_stream(options.common.seed.value_or(std::random_device{}()), std::move(rows)),
          m_silence({Micros(options.silenceS), Micros(options.common.confirmS)}), m_run(run),
          m_evidence(m_options, m_stream.Seed(), run), m_findings(options.common, run, "fuzz panel"),
          m_correct(static_cast<std::size_t>(FindFuzzClass("answer-correct") - FuzzClasses().data())),
          m_late(static_cast<std::size_t>(FindFuzzClass("answer-late") - FuzzClasses().data()))
    {
        ConnectOneShot(m_timer, [this] { OnTick(); });
        m_run.OnInterrupt([this](int) { m_run.Finish(ExitCode()); });
        m_run.OnSummary([this](LineOutput&, int) { Summary(); });
        m_run.OnJunit(options.common.junit, [this](const std::string& path) {
            return m_findings.WriteJunit(path, m_stream.Rows(), "fuzz panel " + m_local.ToString(),
                                         fmt::format("a frame at least every {} s", m_options.silenceS));
        });
        m_run.OnEndFile(options.common.pcap, [this](const std::string&) { return m_evidence.Close(); });
        m_run.ShowProgress([this] {
            return fmt::format("fuzz panel {}: {} frames, {} answers, {} findings", m_local.ToString(),
                               m_silence.Frames(), m_nextCase, m_findings.Count());
        });
    }

    Status Start()
    {
        if (auto opened = m_evidence.Open(); !opened)
            return opened;
        BatchUdpSocket::Options socket;
        socket.bindAddress = m_bindAddress;
        socket.port = m_options.port;
        auto opened =
            m_run.OpenSocket(socket,
                             [this](auto batch, const CommandRun::Arrival& arrival) {
                                 for (const auto& datagram : batch)
                                     OnDatagram(datagram.from, datagram.bytes, arrival.now, arrival.wallUs);
                             },
                             {.afterBatches = [this] { Schedule(); }});
        if (!opened)
            return Failure(opened.error());
        m_socket = *opened;
        m_local = m_socket->LocalAddress();
        m_evidence.SetLocal(m_local);
        m_restarts.emplace(m_options, *m_socket);
        m_started = MonoClock::now();
        m_run.Output().Listening(m_local);
        std::fprintf(stderr, "fuzz panel listening on %s (seed %llu)\n", m_local.ToString().c_str(),
                     static_cast<unsigned long long>(m_stream.Seed()));
        Schedule();
        return {};
    }

private:
    // No finding, and no frame either: nothing was judged, which is no pass.
    int ExitCode() const
    {
        if (!m_findings.Empty())
            return EXIT_EXPECTATION_FAILED;
        return m_silence.Frames() == 0 ? EXIT_IO : EXIT_OK;
    }

    void End()
    {
        if (m_silence.Frames() == 0 && m_findings.Empty())
            PrintError(fmt::format("no frame came to {}", m_local.ToString()));
        m_run.Finish(ExitCode());
    }

    void OnDatagram(const Endpoint& from, std::span<const std::uint8_t> bytes, MonoTime now,
                    std::int64_t wallUs)
    {
        if (m_run.Finished())
            return;
        m_evidence.Heard(bytes, wallUs, from);
        const bool wellFormed = DecodeFrame(bytes).findings.Empty();
        if (const auto event = m_silence.Heard(now, wellFormed)) {
            const std::uint64_t restarts = m_restartsDone;
            if (event->kind == PanelSilence::Event::Kind::Hang)
                Fault(FindingKind::Hang, event->length);
            else
                m_findings.Report(m_evidence.Rule(bytes));
            // A restart answered the panel's first frame after it; this one is from before.
            if (m_run.Finished() || m_restartsDone != restarts)
                return;
        }
        m_evidence.PanelSent();
        Answer(from, bytes, wallUs);
    }

    void Answer(const Endpoint& to, std::span<const std::uint8_t> frame, std::int64_t wallUs)
    {
        if (!std::holds_alternative<AckFrame>(AcknowledgementFor(frame)))
            return; // an acknowledgement or a datagram no rule answers
        const FuzzCase answer = m_stream.Answer(m_nextCase++, frame);
        m_findings.CaseOf(answer.row);
        m_silence.Answered(answer.row != m_correct);
        for (const Bytes& datagram : answer.datagrams) {
            m_evidence.Answered({datagram, answer.index, answer.row});
            if (answer.row == m_late)
                QTimer::singleShot(std::chrono::milliseconds(m_options.lateMs), &m_timer,
                                   [this, to, datagram] { Send(to, datagram, WallUs()); });
            else
                Send(to, datagram, wallUs);
        }
    }

    void Send(const Endpoint& to, std::span<const std::uint8_t> datagram, std::int64_t wallUs)
    {
        if (m_run.Finished())
            return;
        const BatchUdpSocket::Outgoing outgoing{to, 0, datagram};
        if (const int error = m_socket->Send(std::span(&outgoing, 1)).error;
            error != 0 && error != ECONNREFUSED) {
            PrintError(fmt::format("cannot send to {}: {}", to.ToString(), std::strerror(error)));
            m_run.Finish(EXIT_IO);
            return;
        }
        m_evidence.Sent(datagram, wallUs, to);
    }

    void OnTick()
    {
        if (m_run.Finished())
            return;
        const MonoTime now = MonoClock::now();
        if (m_options.common.durationS > 0 && now - m_started >= Micros(m_options.common.durationS)) {
            End();
            return;
        }
        if (const auto event = m_silence.Tick(now)) {
            if (event->kind == PanelSilence::Event::Kind::Suspect)
                FuzzLine(m_run, "suspect", m_nextCase,
                         fmt::format("suspect: no frame for {}; waiting {} s",
                                     FormatMicros(event->length.count()), m_options.common.confirmS),
                         [&](JsonLine& j) {
                             j.Number("silent_ms", static_cast<double>(event->length.count()) / 1000.0)
                                 .Number("confirm_s", m_options.common.confirmS);
                         });
            else
                Fault(FindingKind::Crash, event->length);
        }
        Schedule();
    }

    void Schedule()
    {
        if (m_run.Finished())
            return;
        const MonoTime now = MonoClock::now();
        std::optional<MonoTime> next = m_silence.NextDeadline();
        if (m_options.common.durationS > 0) {
            const MonoTime end = m_started + Micros(m_options.common.durationS);
            next = next ? std::min(*next, end) : end;
        }
        if (next)
            m_timer.start(TimerWait(*next, now));
        else
            m_timer.stop();
    }

    void Fault(FindingKind kind, std::chrono::microseconds length)
    {
        m_findings.Report(m_evidence.Fault(kind, length, [this](std::span<const FuzzFrame> answers) {
            return m_restarts->Reproduces(answers);
        }));
        if (m_run.Finished())
            return;
        if (kind == FindingKind::Crash && m_options.common.restart.empty()) {
            m_run.Finish(ExitCode());
            return;
        }
        if (!m_options.common.restart.empty()) {
            ++m_restartsDone;
            m_silence.Restarted();
            auto first = m_restarts->Restart();
            if (!first) {
                PrintError(fmt::format("no frame came to {} within {} s of the restart", m_local.ToString(),
                                       m_options.common.restartTimeoutS));
                m_run.Finish(EXIT_IO);
                return;
            }
            OnDatagram(first->from, first->bytes, MonoClock::now(), WallUs());
        }
    }

    void Summary()
    {
        m_findings.Summary({{"frames", m_silence.Frames()},
                            {"answers", m_nextCase},
                            {"findings", static_cast<std::uint64_t>(m_findings.Count())},
                            {"seed", m_stream.Seed()}},
                           m_stream.Rows());
    }

    FuzzPanelOptions m_options;
    std::uint32_t m_bindAddress{0};
    FuzzStream m_stream;
    PanelSilence m_silence;
    CommandRun& m_run;
    PanelEvidence m_evidence;
    FuzzFindings m_findings;
    std::size_t m_correct{0};
    std::size_t m_late{0};
    BatchUdpSocket* m_socket{nullptr};
    Endpoint m_local;
    MonoTime m_started;
    std::uint64_t m_nextCase{0};
    std::uint64_t m_restartsDone{0};
    std::optional<PanelRestarts> m_restarts;
    QTimer m_timer;
};

} // namespace

int RunFuzzPanel(const FuzzPanelOptions& options)
{
    auto rows = ChooseFuzzClasses(FuzzSide::Panel, options.common.only, options.common.skip);
    if (!rows)
        return UsageError(rows.error());
    auto address = ResolveIpv4(options.bind);
    if (!address)
        return UsageError(address.error());
    return ExecDriver<PanelFuzzer>("fuzz panel", options.common.output, options, *address, std::move(*rows));
}
