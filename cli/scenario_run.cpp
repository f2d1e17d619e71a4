#include "cli/scenario_run.h"

#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/pacer.h"
#include "net/host_port.h"
#include "net/udp_endpoint.h"
#include "suite/scenario_file.h"
#include "suite/scenario_machine.h"
#include "verdict/junit.h"

#include <QTimer>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

using namespace veltrano;

// Datagrams a socket of this command takes in one read.
constexpr std::size_t BATCH = 16;

struct RunOptions
{
    std::string file;
    std::vector<std::string> vars;
    std::string junit;
    OutputOptions output;
};

// The socket and the timers of one scenario: each step starts when the one before is judged; the steps
// that wait do so on a timer, with datagrams fed to the machine as they come.
class ScenarioRunner final
{
public:
    ScenarioRunner(Scenario scenario, std::string suite, const std::string& junit, const Endpoint& peer,
                   std::uint32_t bindAddress, CommandRun& run)
        : m_machine(std::move(scenario), peer, InterfaceBroadcastAddresses()), m_peer(peer),
          m_bindAddress(bindAddress), m_run(run), m_report(std::move(suite))
    {
        ConnectOneShot(m_stepTimer, [this] {
            if (m_run.Finished())
                return;
            m_machine.Expire(MonoClock::now());
            TakeVerdict();
        });
        EndWithVerdicts(m_run, m_report, junit);
    }

    Status Start()
    {
        BatchUdpSocket::Options options;
        if (m_machine.Panel()) {
            options.peer = m_peer;
        } else {
            options.bindAddress = m_bindAddress;
            options.port = m_machine.Steps().port;
        }
        auto socket = m_run.OpenSocket(
            options,
            [this](std::span<const BatchUdpSocket::Received> batch, const CommandRun::Arrival& arrival) {
                for (const auto& datagram : batch)
                    Heard(datagram, arrival);
            },
            Reading(), BATCH);
        if (!socket)
            return Failure(socket.error());
        m_socket = *socket;
        m_local = m_socket->LocalAddress();
        if (!m_machine.Panel()) {
            m_run.Output().Listening(m_local);
            std::fprintf(stderr, "run listening on %s\n", m_local.ToString().c_str());
        }
        QTimer::singleShot(0, &m_stepTimer, [this] { NextStep(); });
        return {};
    }

private:
    CommandRun::Reading Reading()
    {
        // The peer's port is closed: the wait goes on, as a panel's would, and a failure says so.
        const auto refused = [this](const std::string& reason) {
            if (m_refused.empty())
                PrintError(m_peer.ToString() + ": " + reason);
            m_refused = reason;
            m_machine.Refused(reason);
        };
        return {.error = refused, .afterBatches = [this] {
                    m_machine.Check(MonoClock::now());
                    TakeVerdict();
                }};
    }

    void NextStep()
    {
        if (m_run.Finished())
            return;
        const MonoTime now = MonoClock::now();
        switch (m_machine.Begin(now)) {
        case ScenarioMachine::Start::End:
            m_run.Finish(m_report.ExitCode());
            return;
        case ScenarioMachine::Start::Send:
            SendStep();
            break;
        case ScenarioMachine::Start::Wait:
            m_stepTimer.start(TimerWait(m_machine.Deadline(), now));
            return;
        case ScenarioMachine::Start::Judged:
            break;
        }
        TakeVerdict();
    }

    // The step judged last, if one was: its verdict out, and the next step from the event loop.
    void TakeVerdict()
    {
        auto verdict = m_machine.TakeVerdict();
        if (!verdict)
            return;
        m_stepTimer.stop();
        ReportVerdict(m_run.Output(), m_report, std::move(*verdict));
        m_run.Output().Flush();
        QTimer::singleShot(0, &m_stepTimer, [this] { NextStep(); });
    }

    void SendStep()
    {
        const auto& bytes = m_machine.Current().bytes;
        const BatchUdpSocket::Outgoing outgoing{m_peer, 0, bytes};
        const std::int64_t nowUs = WallClockUs();
        const MonoTime now = MonoClock::now();
        // A connected socket reports an earlier ICMP refusal on the next send, which then did not go.
        int error = m_socket->Send(std::span(&outgoing, 1)).error;
        if (error == ECONNREFUSED)
            error = m_socket->Send(std::span(&outgoing, 1)).error;
        // Any other reason than the peer's closed port ends the run.
        if (error != 0 && error != ECONNREFUSED) {
            PrintError(fmt::format("cannot send to {}: {}", m_peer.ToString(), std::strerror(error)));
            m_run.Finish(EXIT_IO);
            return;
        }
        m_run.Log(MakeRecord(nowUs, Direction::Out, m_peer, m_local, bytes, error));
        m_run.EndOfBatch();
        m_machine.Sent(error, now);
    }

    void Heard(const BatchUdpSocket::Received& datagram, const CommandRun::Arrival& arrival)
    {
        FrameRecord record = MakeRecord(arrival.wallUs, Direction::In, datagram.from,
                                        {datagram.localAddress, m_local.port}, datagram.bytes);
        const ScenarioHearing hearing =
            m_machine.Hear(datagram.from, datagram.bytes, record.decoded, arrival.now);
        record.note = hearing.note;
        record.rttUs = hearing.rttUs;
        m_run.Log(record);
        const Endpoint to = datagram.from;
        const std::uint32_t source = datagram.replySource;
        for (const ScenarioReply& reply : hearing.replies) {
            // The step timer as the context: an answer still waiting is dropped with the runner.
            if (reply.delay.count() > 0)
                QTimer::singleShot(reply.delay, &m_stepTimer,
                                   [this, reply, to, source] { Answer(reply, to, source); });
            else
                Answer(reply, to, source);
        }
    }

    void Answer(const ScenarioReply& reply, const Endpoint& to, std::uint32_t source)
    {
        if (m_run.Finished())
            return;
        const BatchUdpSocket::Outgoing outgoing{to, source, reply.bytes};
        const std::int64_t nowUs = WallClockUs();
        const int error = m_socket->Send(std::span(&outgoing, 1)).error;
        FrameRecord record =
            MakeRecord(nowUs, Direction::Out, to, {source != 0 ? source : m_local.address, m_local.port},
                       reply.bytes, error);
        record.note = reply.note;
        m_run.Log(record);
        m_run.EndOfBatch();
    }

    ScenarioMachine m_machine;
    Endpoint m_peer;
    std::uint32_t m_bindAddress{0};
    CommandRun& m_run;
    VerdictReport m_report;
    BatchUdpSocket* m_socket{nullptr};
    Endpoint m_local;
    QTimer m_stepTimer;
    std::string m_refused;
};

int RunScenario(const RunOptions& options)
{
    auto scenario = ReadScenarioFile(options.file, options.vars);
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
    return ExecDriver<ScenarioRunner>("run", options.output, std::move(*scenario), std::move(suite),
                                      options.junit, peer, bindAddress);
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
    AddJunitOption(command, options->junit, "Write the verdicts as JUnit XML to FILE");
    AddOutputOptions(command, options->output);
    command->callback([options, &chosen] { chosen = [options] { return RunScenario(*options); }; });
}
