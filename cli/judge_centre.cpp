#include "cli/judge_centre.h"

#include "cli/command_run.h"
#include "cli/common_options.h"
#include "cli/judge_panel.h"
#include "net/host_port.h"
#include "suite/centre_run.h"
#include "verdict/junit.h"

#include <QTimer>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstring>
#include <memory>

namespace {

using namespace veltrano;

// Load frames go out on this tick, as many as the rate owes by then.
constexpr std::chrono::milliseconds LOAD_TICK{1};

struct CentreTestOptions
{
    std::string to;
    int timeoutMs{1000};
    std::vector<std::string> only;
    std::vector<std::string> skip;
    double loadRate{1000};
    double loadSeconds{5};
    std::string junit;
    OutputOptions output;
};

// The sockets and timers of `test centre`: the run says what each case sends, what comes back goes to it
// until it is settled or the timeout passed, then it judges.
class CentreSuite final
{
public:
    CentreSuite(const CentreTestOptions& options, const Endpoint& target, std::vector<bool> chosen,
                CommandRun& run)
        : m_centre({target, options.timeoutMs, {}, options.loadRate, options.loadSeconds}, std::move(chosen)),
          m_run(run), m_report("test centre " + target.ToString())
    {
        ConnectOneShot(m_timer, [this] { Judge(); });
        m_loadTimer.setTimerType(Qt::PreciseTimer);
        OnTimeout(m_loadTimer, [this] { LoadTick(); });
        EndWithVerdicts(m_run, m_report, options.junit);
    }

    Status Start()
    {
        const CommandRun::Reading reading{.afterBatches = [this] {
            if (m_centre.Settled())
                Judge();
        }};
        for (std::size_t i = 0; i < m_sockets.size(); ++i) {
            auto socket = m_run.OpenSocket(
                {},
                [this, i](std::span<const BatchUdpSocket::Received> batch,
                          const CommandRun::Arrival& arrival) {
                    for (const auto& datagram : batch)
                        m_centre.Arrived(i, datagram.from, datagram.bytes, arrival.now);
                },
                reading);
            if (!socket)
                return Failure(socket.error());
            m_sockets[i] = *socket;
            m_centre.SetPort(i, m_sockets[i]->LocalAddress().port);
        }
        m_centre.Probe(MonoClock::now());
        SendExchange();
        return {};
    }

private:
    // Datagrams of one socket go in one call, so that a burst leaves together.
    void SendExchange()
    {
        std::vector<BatchUdpSocket::Outgoing> outgoing;
        for (std::size_t s = 0; s < m_sockets.size(); ++s) {
            outgoing.clear();
            for (const auto& sent : m_centre.Frames()) {
                if (sent.datagram.socket == s)
                    outgoing.push_back({m_centre.Setting().target, 0, sent.datagram.bytes});
            }
            if (!Send(*m_sockets[s], outgoing))
                return;
        }
        m_timer.start(m_centre.Setting().timeoutMs);
    }

    // A datagram the system refuses ends the run: a verdict without it would blame the centre.
    bool Send(BatchUdpSocket& socket, std::span<const BatchUdpSocket::Outgoing> datagrams)
    {
        socket.SendEach(datagrams, [&](std::size_t i, int error) {
            if (error == 0 || m_run.Finished())
                return;
            PrintError(
                fmt::format("cannot send to {}: {}", datagrams[i].to.ToString(), std::strerror(error)));
            m_run.Finish(EXIT_IO);
        });
        return !m_run.Finished();
    }

    void Judge()
    {
        m_timer.stop();
        m_loadTimer.stop();
        auto verdict = m_centre.Judge(MonoClock::now());
        if (!verdict) {
            NextCase();
            return;
        }
        Report(std::move(*verdict));
        // A new case starts from the event loop, not from inside the judging one; the suite's timer as the
        // context drops the call with the suite.
        QTimer::singleShot(0, &m_timer, [this] { NextCase(); });
    }

    void NextCase()
    {
        if (m_run.Finished())
            return;
        std::vector<Verdict> passed;
        const CentreRun::Next next = m_centre.Advance(MonoClock::now(), passed);
        for (Verdict& verdict : passed)
            Report(std::move(verdict));
        switch (next) {
        case CentreRun::Next::End:
            m_run.Finish(m_report.ExitCode());
            break;
        case CentreRun::Next::Exchange:
            SendExchange();
            break;
        case CentreRun::Next::Load:
            m_loadTimer.start(LOAD_TICK);
            LoadTick();
            break;
        }
    }

    void LoadTick()
    {
        std::vector<BatchUdpSocket::Outgoing> datagrams;
        const std::vector<Bytes> frames = m_centre.Due(MonoClock::now());
        for (const Bytes& frame : frames)
            datagrams.push_back({m_centre.Setting().target, 0, frame});
        if (!Send(*m_sockets[0], datagrams) || !m_centre.AllSent())
            return;
        m_loadTimer.stop();
        // The last frames have the timeout to be answered.
        if (!m_timer.isActive())
            m_timer.start(m_centre.Setting().timeoutMs);
    }

    void Report(Verdict verdict)
    {
        ReportVerdict(m_run.Output(), m_report, std::move(verdict));
        m_run.Output().Flush();
    }

    CentreRun m_centre;
    CommandRun& m_run;
    VerdictReport m_report;
    std::array<BatchUdpSocket*, CENTRE_SOCKETS> m_sockets{};
    QTimer m_timer;
    QTimer m_loadTimer;
};

int RunCentreTest(const CentreTestOptions& options)
{
    auto chosen = ChooseCentreCases(options.only, options.skip);
    if (!chosen)
        return UsageError(chosen.error());
    auto target = ResolveHostPort(options.to);
    if (!target)
        return UsageError(target.error());
    return ExecDriver<CentreSuite>("test centre", options.output, options, *target, std::move(*chosen));
}

} // namespace

void AddTestCommand(CLI::App& app, CommandRunner& chosen)
{
    auto* test =
        app.add_subcommand("test", "Judge a centre or a panel by the protocol's rules, case by case");
    test->require_subcommand(1);

    auto options = std::make_shared<CentreTestOptions>();
    auto* centre = test->add_subcommand("centre", "Judge the centre at HOST:PORT by the centre rule");
    AddToOption(centre, options->to, "The centre under test");
    AddTimeoutOption(centre, options->timeoutMs, "How long to wait for an answer, or for none");
    centre->add_option("--only", options->only, "Run only these cases")->delimiter(',')->type_name("ID,...");
    centre->add_option("--skip", options->skip, "Leave these cases out")->delimiter(',')->type_name("ID,...");
    AddCheckedOption(centre, "--load-rate", options->loadRate, "Frames per second of the load case", "R",
                     CLI::Range(1.0, 1'000'000.0), ShownDefault::Yes);
    AddCheckedOption(centre, "--load-seconds", options->loadSeconds, "Length of the load case", "S",
                     CLI::Range(0.001, 3600.0), ShownDefault::Yes);
    AddJunitOption(centre, options->junit, "Write the verdicts as JUnit XML to FILE");
    AddFormatFlag(centre, options->output.format, "One JSON verdict object per case; a summary object last");
    centre->callback([options, &chosen] { chosen = [options] { return RunCentreTest(*options); }; });

    AddTestPanelCommand(*test, chosen);
}
