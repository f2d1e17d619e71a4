#include "cli/run_scenario.h"

#include "cli/common_options.h"
#include "cli/command_run.h"
#include "cli/verdict.h"
#include "link/ack_matcher.h"
#include "net/host_port.h"
#include "net/udp_endpoint.h"
#include "protocol/acknowledgement.h"
#include "suite/scenario.h"

#include <QObject>
#include <QTimer>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace {

// Datagrams kept for judging: enough for any step's hint, bounded whatever the peer sends.
constexpr std::size_t MAX_KEPT = 256;
// Batches read per notification before the timers get their turn.
constexpr std::size_t BATCHES_PER_WAKE = 16;
// Larger files are no scenario anyone wrote by hand; refused before YAML sees them.
constexpr std::streamsize MAX_FILE_BYTES = 16 << 20;

struct RunOptions
{
    std::string file;
    std::vector<std::string> vars;
    std::string junit;
    OutputOptions output;
};

using Bytes = std::vector<std::uint8_t>;

std::string Hex(std::span<const std::uint8_t> bytes)
{
    return bytes.empty() ? std::string("an empty datagram") : FormatBytesHex(bytes);
}

std::int64_t MicrosBetween(MonoTime from, MonoTime to)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
}

// One scenario over one socket: each step starts when the one before is judged; the steps that wait do so
// on a timer, with datagrams judged as they come.
class ScenarioRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ScenarioRunner)

public:
    ScenarioRunner(Scenario scenario, std::string suite, std::string junit, const Endpoint& peer,
                   std::uint32_t bindAddress, CommandRun& run)
        : m_scenario(std::move(scenario)), m_junit(std::move(junit)), m_peer(peer),
          m_bindAddress(bindAddress), m_run(run), m_report(std::move(suite))
    {
        m_stepTimer.setSingleShot(true);
        m_stepTimer.setTimerType(Qt::PreciseTimer);
        connect(&m_stepTimer, &QTimer::timeout, this, &ScenarioRunner::OnDeadline);
        // An interrupted run still leaves the verdicts of the steps it judged for CI to read.
        m_run.OnInterrupt([this](int signal) { End(128 + signal); });
        m_run.OnSummary([this](LineOutput& output, int) {
            const auto fields = VerdictSummary(m_report);
            output.Summary("run", fields);
        });
    }

    Status Start()
    {
        BatchUdpSocket::Options options;
        if (Panel()) {
            options.peer = m_peer;
        } else {
            options.bindAddress = m_bindAddress;
            options.port = m_scenario.port;
        }
        auto socket = m_run.OpenSocket(
            options, [this](BatchUdpSocket& s) { OnReadable(s); }, 16);
        if (!socket)
            return Failure(socket.error());
        m_socket = *socket;
        m_local = m_socket->LocalAddress();
        if (!Panel()) {
            m_broadcasts = InterfaceBroadcastAddresses();
            std::fprintf(stderr, "run listening on %s\n", m_local.ToString().c_str());
        }
        QTimer::singleShot(0, this, &ScenarioRunner::NextStep);
        return {};
    }

private:
    struct Arrival
    {
        Bytes bytes;
        MonoTime at;
        AckMatcher::Outcome outcome{AckMatcher::Outcome::NotAck};
        bool keyed{false}; // carries the pairing key of the last frame sent
    };

    struct Heard
    {
        Bytes bytes;
        DecodedFrame decoded;
        Endpoint from;
        MonoTime at;
    };

    // An answer of the centre role, sent now or when its delay is up.
    struct Held
    {
        AckFrame ack{};
        Endpoint to;
        std::uint32_t source{0};
        std::string_view note;
    };

    bool Panel() const { return m_scenario.role == ScenarioRole::Panel; }
    const ScenarioStep& Current() const { return m_scenario.steps[m_index]; }

    void NextStep()
    {
        if (m_run.Finished())
            return;
        if (m_index >= m_scenario.steps.size()) {
            End(m_report.ExitCode());
            return;
        }
        const ScenarioStep& step = Current();
        m_stepStart = MonoClock::now();
        switch (step.kind) {
        case StepKind::Send:
            SendStep(step);
            return;
        case StepKind::Answer:
            m_nextMode = step.answer;
            m_nextDelay = step.delay;
            Done(Outcome::Passed, step.what);
            return;
        case StepKind::ExpectAck:
        case StepKind::ExpectNoAck:
            if (!m_lastSent) {
                Done(Outcome::Failed, "no frame was sent before it");
                return;
            }
            break;
        case StepKind::ExpectFrame:
        case StepKind::Wait:
            break;
        }
        m_stepTimer.start(step.within);
        m_awaiting = true;
        // What came before the step counts: an answer can beat the step that waits for it.
        Check();
    }

    void Done(Outcome outcome, std::string message, std::string details = {})
    {
        m_stepTimer.stop();
        m_awaiting = false;
        const ScenarioStep& step = Current();
        Verdict verdict{step.id,
                        {},
                        outcome,
                        std::move(message),
                        std::move(details),
                        std::chrono::duration<double>(MonoClock::now() - m_stepStart).count()};
        AppendVerdictLine(m_run.Output().Buffer(), m_run.Output().Format(), m_report.Add(std::move(verdict)));
        m_run.Output().Written();
        m_run.Output().Flush();
        ++m_index;
        // The next step starts from the event loop, not from inside the judging one.
        QTimer::singleShot(0, this, &ScenarioRunner::NextStep);
    }

    void End(int code)
    {
        if (!m_junit.empty()) {
            if (auto written = m_report.WriteJunit(m_junit); !written) {
                PrintError(written.error());
                code = EXIT_SOCKET;
            }
        }
        m_run.Finish(code);
    }

    // A send that fails for another reason than the peer's closed port ends the run.
    bool SendOne(const BatchUdpSocket::Outgoing& outgoing, int& error)
    {
        // A connected socket reports an earlier ICMP refusal on the next send, which then did not go.
        for (int attempt = 0; attempt < 2; ++attempt) {
            error = m_socket->Send(std::span(&outgoing, 1)).error;
            if (error != ECONNREFUSED)
                break;
        }
        if (error == 0 || error == ECONNREFUSED)
            return true;
        PrintError(fmt::format("cannot send to {}: {}", outgoing.to.ToString(), std::strerror(error)));
        End(EXIT_SOCKET);
        return false;
    }

    void SendStep(const ScenarioStep& step)
    {
        const BatchUdpSocket::Outgoing outgoing{m_peer, 0, step.bytes};
        const std::int64_t nowUs = WallClockUs();
        const MonoTime now = MonoClock::now();
        int error = 0;
        if (!SendOne(outgoing, error))
            return;
        m_run.Log(MakeRecord(nowUs, Direction::Out, m_peer, m_local, step.bytes, error));
        m_run.EndOfBatch();
        if (error != 0) {
            Done(Outcome::Failed,
                 fmt::format("{} not sent to {}: {}", step.what, m_peer.ToString(), std::strerror(error)));
            return;
        }
        // The same bytes again are a retry: the frame keeps its place and its round trip restarts.
        const bool retry = m_expected && *m_lastSent == step.bytes && m_matcher.Resent(m_ticket, now);
        m_lastSent = step.bytes;
        m_lastSentAt = now;
        m_arrivals.clear();
        m_answer.reset();
        m_expected.reset();
        const auto answer = AcknowledgementFor(step.bytes);
        if (const auto* ack = std::get_if<AckFrame>(&answer); ack != nullptr)
            m_expected = *ack;
        if (m_expected && !retry)
            m_ticket = m_matcher.Sent(m_peer, step.bytes, ++m_serial, now);
        Done(Outcome::Passed, fmt::format("{} sent to {}", step.what, m_peer.ToString()));
    }

    void OnReadable(BatchUdpSocket& socket)
    {
        for (std::size_t round = 0; round < BATCHES_PER_WAKE && !m_run.Finished(); ++round) {
            const auto batch = socket.Receive();
            if (!batch) {
                // The peer's port is closed: the wait goes on, as a panel's would, and a failure says so.
                if (m_refused.empty())
                    PrintError(m_peer.ToString() + ": " + batch.error());
                m_refused = batch.error();
                break;
            }
            if (batch->empty())
                break;
            const std::int64_t nowUs = WallClockUs();
            const MonoTime now = MonoClock::now();
            for (const auto& datagram : *batch) {
                if (Panel())
                    PanelHeard(datagram, nowUs, now);
                else
                    CentreHeard(datagram, nowUs, now);
            }
            if (batch->size() < socket.BatchSize())
                break;
        }
        m_run.EndOfBatch();
        Check();
    }

    void PanelHeard(const BatchUdpSocket::Received& datagram, std::int64_t nowUs, MonoTime now)
    {
        FrameRecord record = MakeRecord(nowUs, Direction::In, datagram.from,
                                        {datagram.localAddress, m_local.port}, datagram.bytes);
        const AckMatcher::Match match =
            m_matcher.Received(datagram.from, datagram.bytes, record.decoded, now);
        if (match.outcome == AckMatcher::Outcome::Answered)
            record.rttUs = match.rtt.count();
        else if (match.outcome == AckMatcher::Outcome::BadChecksum)
            record.note = "bad checksum, not taken";
        m_run.Log(record);
        if (!m_lastSent)
            return;
        Arrival arrival{{datagram.bytes.begin(), datagram.bytes.end()},
                        now,
                        match.outcome,
                        SamePairingKey(datagram.bytes, *m_lastSent)};
        const bool forLast = match.id == m_serial && m_expected &&
                             (match.outcome == AckMatcher::Outcome::Answered ||
                              match.outcome == AckMatcher::Outcome::BadChecksum);
        // A right acknowledgement outranks a spoilt one that came first.
        if (forLast && (!m_answer || m_answer->outcome != AckMatcher::Outcome::Answered))
            m_answer = arrival;
        if (m_arrivals.size() < MAX_KEPT)
            m_arrivals.push_back(std::move(arrival));
    }

    void CentreHeard(const BatchUdpSocket::Received& datagram, std::int64_t nowUs, MonoTime now)
    {
        FrameRecord record = MakeRecord(nowUs, Direction::In, datagram.from,
                                        {datagram.localAddress, m_local.port}, datagram.bytes);
        const auto answer = AcknowledgementFor(datagram.bytes);
        const auto* ack = std::get_if<AckFrame>(&answer);
        // Only ever the sender, and never a sender that is no unicast address.
        const bool answerable = ack != nullptr && datagram.from.port != 0 &&
                                static_cast<bool>(DestinationAllowed(datagram.from.address, m_broadcasts));
        AnswerMode mode = AnswerMode::Normal;
        if (answerable) {
            mode = m_nextMode;
            m_nextMode = AnswerMode::Normal;
        }
        if (mode == AnswerMode::Withhold)
            record.note = "answer withheld";
        m_run.Log(record);
        if (m_heard.size() >= MAX_KEPT)
            m_heard.pop_front();
        m_heard.push_back(
            {{datagram.bytes.begin(), datagram.bytes.end()}, record.decoded, datagram.from, now});
        if (!answerable || mode == AnswerMode::Withhold)
            return;
        Held reply{*ack, datagram.from, datagram.replySource, ""};
        switch (mode) {
        case AnswerMode::Delay:
            reply.note = "delayed";
            QTimer::singleShot(m_nextDelay, this, [this, reply] { Answer(reply); });
            return;
        case AnswerMode::BadChecksum:
            reply.ack[ACK_FRAME_LENGTH - 1] ^= 0xFF;
            reply.note = "checksum spoilt";
            break;
        case AnswerMode::Twice:
            Answer(reply);
            reply.note = "duplicate";
            break;
        case AnswerMode::Normal:
        case AnswerMode::Withhold:
            break;
        }
        Answer(reply);
    }

    void Answer(const Held& reply)
    {
        if (m_run.Finished())
            return;
        const BatchUdpSocket::Outgoing outgoing{reply.to, reply.source, reply.ack};
        const std::int64_t nowUs = WallClockUs();
        const int error = m_socket->Send(std::span(&outgoing, 1)).error;
        FrameRecord record =
            MakeRecord(nowUs, Direction::Out, reply.to,
                       {reply.source != 0 ? reply.source : m_local.address, m_local.port}, reply.ack, error);
        record.note = reply.note;
        m_run.Log(record);
        m_run.EndOfBatch();
    }

    // Judges the waiting step as soon as what it waits for has come.
    void Check()
    {
        if (!m_awaiting || m_run.Finished())
            return;
        switch (Current().kind) {
        case StepKind::ExpectAck:
            if (m_answer && m_answer->outcome == AckMatcher::Outcome::Answered)
                JudgeAck();
            else if (!m_expected)
                JudgeAck();
            return;
        case StepKind::ExpectNoAck:
            if (std::any_of(m_arrivals.begin(), m_arrivals.end(), [](const Arrival& a) { return a.keyed; }))
                JudgeNoAck();
            return;
        case StepKind::ExpectFrame:
            if (const auto found =
                    std::find_if(m_heard.begin(), m_heard.end(),
                                 [this](const Heard& h) { return Current().match.Matches(h.decoded); });
                found != m_heard.end()) {
                const Heard taken = *found;
                // Frames up to the one taken are judged; later ones wait for the next expect-frame.
                m_heard.erase(m_heard.begin(), found + 1);
                Done(Outcome::Passed,
                     fmt::format("{} from {} after {}", Hex(taken.bytes), taken.from.ToString(),
                                 FormatMicros(MicrosBetween(m_stepStart, taken.at))));
            }
            return;
        case StepKind::Send:
        case StepKind::Answer:
        case StepKind::Wait:
            return;
        }
    }

    void OnDeadline()
    {
        if (!m_awaiting || m_run.Finished())
            return;
        const ScenarioStep& step = Current();
        switch (step.kind) {
        case StepKind::ExpectAck:
            JudgeAck();
            return;
        case StepKind::ExpectNoAck:
            JudgeNoAck();
            return;
        case StepKind::ExpectFrame:
            JudgeMissingFrame(step);
            return;
        case StepKind::Wait:
            Done(Outcome::Passed, step.what);
            return;
        case StepKind::Send:
        case StepKind::Answer:
            return;
        }
    }

    void JudgeAck()
    {
        const ScenarioStep& step = Current();
        if (!m_expected) {
            Done(Outcome::Failed, fmt::format("{} is not answered by the centre rule", Hex(*m_lastSent)));
            return;
        }
        const std::string expected =
            fmt::format("{} from {} within {} ms", Hex(*m_expected), m_peer.ToString(), step.within.count());
        if (m_answer) {
            const std::string after = FormatMicros(MicrosBetween(m_lastSentAt, m_answer->at));
            if (m_answer->outcome == AckMatcher::Outcome::Answered &&
                std::ranges::equal(m_answer->bytes, *m_expected)) {
                Done(Outcome::Passed, fmt::format("{} after {}", Hex(m_answer->bytes), after));
                return;
            }
            Done(Outcome::Failed,
                 ExpectedGot(expected, fmt::format("{} after {}", Hex(m_answer->bytes), after)));
            return;
        }
        // Something with its key that the matcher gave to an earlier frame, as a hint.
        for (const Arrival& arrival : m_arrivals) {
            if (arrival.keyed) {
                Done(Outcome::Failed,
                     ExpectedGot(expected,
                                 fmt::format("only {} after {}, taken for an earlier frame",
                                             Hex(arrival.bytes),
                                             FormatMicros(MicrosBetween(m_lastSentAt, arrival.at)))));
                return;
            }
        }
        Done(Outcome::Failed, ExpectedGot(expected, m_refused.empty() ? std::string("nothing")
                                                                      : "nothing (" + m_refused + ")"));
    }

    void JudgeNoAck()
    {
        const ScenarioStep& step = Current();
        const auto answered =
            std::find_if(m_arrivals.begin(), m_arrivals.end(), [](const Arrival& a) { return a.keyed; });
        const std::string sent = Hex(*m_lastSent);
        if (answered == m_arrivals.end()) {
            Done(Outcome::Passed, fmt::format("nothing answered {} within {} ms", sent, step.within.count()));
            return;
        }
        Done(Outcome::Failed,
             ExpectedGot(fmt::format("no answer to {} within {} ms", sent, step.within.count()),
                         fmt::format("{} after {}", Hex(answered->bytes),
                                     FormatMicros(MicrosBetween(m_lastSentAt, answered->at)))));
    }

    void JudgeMissingFrame(const ScenarioStep& step)
    {
        const std::string expected =
            fmt::format("{} within {} ms", step.match.Describe(), step.within.count());
        if (m_heard.empty()) {
            Done(Outcome::Failed, ExpectedGot(expected, "nothing"));
            return;
        }
        std::string details;
        for (const Heard& heard : m_heard)
            details += fmt::format("{} from {}\n", Hex(heard.bytes), heard.from.ToString());
        // They stay for the next expect-frame: a frame out of its place is still the next step's.
        const Heard& last = m_heard.back();
        const std::string got =
            fmt::format("{} other frame{}, the last {} from {}", m_heard.size(),
                        m_heard.size() == 1 ? "" : "s", Hex(last.bytes), last.from.ToString());
        Done(Outcome::Failed, ExpectedGot(expected, got), details);
    }

    Scenario m_scenario;
    std::string m_junit;
    Endpoint m_peer;
    std::uint32_t m_bindAddress{0};
    CommandRun& m_run;
    VerdictReport m_report;
    BatchUdpSocket* m_socket{nullptr};
    Endpoint m_local;
    std::vector<std::uint32_t> m_broadcasts;
    QTimer m_stepTimer;
    std::size_t m_index{0};
    MonoTime m_stepStart;
    bool m_awaiting{false};
    std::string m_refused;

    // The panel role: the last frame sent and what came back since.
    AckMatcher m_matcher{AckMatcher::Limits{1 << 12, {}}};
    AckMatcher::Ticket m_ticket{0};
    std::uint64_t m_serial{0};
    std::optional<Bytes> m_lastSent;
    std::optional<AckFrame> m_expected;
    MonoTime m_lastSentAt;
    std::optional<Arrival> m_answer;
    std::vector<Arrival> m_arrivals;

    // The centre role: frames no expect-frame has taken yet, and how the next one is answered.
    std::deque<Heard> m_heard;
    AnswerMode m_nextMode{AnswerMode::Normal};
    std::chrono::milliseconds m_nextDelay{0};
};

Result<std::string> ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Failure(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
    std::ostringstream text;
    text << in.rdbuf();
    if (!in.good() && !in.eof())
        return Failure(fmt::format("cannot read {}", path));
    if (text.tellp() > MAX_FILE_BYTES)
        return Failure(fmt::format("{}: larger than {} bytes", path, MAX_FILE_BYTES));
    return text.str();
}

Result<std::map<std::string, std::string>> ParseVars(const std::vector<std::string>& given)
{
    std::map<std::string, std::string> vars;
    for (const std::string& text : given) {
        const auto equals = text.find('=');
        if (equals == std::string::npos || equals == 0)
            return Failure(fmt::format("--var {}: NAME=VALUE", text));
        vars[text.substr(0, equals)] = text.substr(equals + 1);
    }
    return vars;
}

int RunScenario(const RunOptions& options)
{
    auto vars = ParseVars(options.vars);
    if (!vars)
        return UsageError(vars.error());
    auto text = ReadText(options.file);
    if (!text)
        return UsageError(text.error());
    auto scenario = ParseScenario(*text, options.file, *vars);
    if (!scenario)
        return UsageError(scenario.error());
    Endpoint peer;
    std::uint32_t bindAddress = 0;
    if (scenario->role == ScenarioRole::Panel) {
        auto resolved = ResolveHostPort(scenario->peer);
        if (!resolved)
            return UsageError(PositionedError(options.file, scenario->peerAt, "peer: " + resolved.error()));
        peer = *resolved;
    } else {
        auto address = ResolveIpv4(scenario->bind);
        if (!address)
            return UsageError(PositionedError(options.file, scenario->bindAt, "bind: " + address.error()));
        bindAddress = *address;
    }
    std::string suite = "run " + (scenario->name.empty() ? options.file : scenario->name);
    CommandRun run("run", options.output);
    ScenarioRunner runner(std::move(*scenario), std::move(suite), options.junit, peer, bindAddress, run);
    return run.Exec([&runner] { return runner.Start(); });
}

} // namespace

void AddRunCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<RunOptions>();
    auto* command =
        app.add_subcommand("run", "Run a scenario file as a panel or a centre, a verdict per step");
    command->add_option("FILE", options->file, "The scenario (YAML)")->required()->type_name("FILE.yaml");
    command->add_option("--var", options->vars, "Set a variable the file declares under vars")
        ->type_name("NAME=VALUE")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    command->add_option("--junit", options->junit, "Write the verdicts as JUnit XML to FILE")
        ->type_name("FILE");
    AddOutputOptions(command, options->output);
    command->callback([options, &chosen] { chosen = [options] { return RunScenario(*options); }; });
}

#include "run_scenario.moc"
