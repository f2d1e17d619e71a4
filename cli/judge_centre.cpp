#include "cli/judge_centre.h"

#include "cli/command_run.h"
#include "cli/common_options.h"
#include "cli/judge_panel.h"
#include "cli/judging.h"
#include "net/host_port.h"
#include "suite/centre_cases.h"

#include <QObject>
#include <QTimer>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cerrno>
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

// Sends every datagram, waiting out a full send buffer; any other error ends the run with EXIT_SOCKET.
bool SendAll(BatchUdpSocket& socket, std::span<const BatchUdpSocket::Outgoing> datagrams, CommandRun& run)
{
    while (!datagrams.empty()) {
        const auto outcome = socket.Send(datagrams);
        if (outcome.error != 0 && outcome.error != EAGAIN && outcome.error != EWOULDBLOCK) {
            PrintError(fmt::format("cannot send to {}: {}", datagrams.front().to.ToString(),
                                   std::strerror(outcome.error)));
            run.Finish(EXIT_SOCKET);
            return false;
        }
        datagrams = datagrams.subspan(outcome.sent);
    }
    return true;
}

// The sockets and timers of `test centre`: each case of the table sends its datagrams, what comes back
// feeds the case's exchange until all it waits for came or the timeout passed, then the row judges.
class CentreSuite final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CentreSuite)

public:
    CentreSuite(const CentreTestOptions& options, const Endpoint& target, std::vector<bool> chosen,
                CommandRun& run)
        : m_setting{target, options.timeoutMs, {}, options.loadRate, options.loadSeconds},
          m_junit(options.junit), m_chosen(std::move(chosen)), m_run(run),
          m_report("test centre " + target.ToString())
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &CentreSuite::Judge);
        m_loadTimer.setTimerType(Qt::PreciseTimer);
        connect(&m_loadTimer, &QTimer::timeout, this, &CentreSuite::LoadTick);
        m_run.OnJunit(m_junit, [this](const std::string& path) { return m_report.WriteJunit(path); });
        m_run.OnSummary(
            [this](LineOutput& output, int) { output.Summary("test centre", VerdictSummary(m_report)); });
    }

    Status Start()
    {
        CommandRun::Reading reading;
        reading.afterBatches = [this] { AfterBatches(); };
        for (std::size_t i = 0; i < m_sockets.size(); ++i) {
            auto socket = m_run.OpenSocket(
                {},
                [this, i](std::span<const BatchUdpSocket::Received> batch,
                          const CommandRun::Arrival& arrival) { OnBatch(i, batch, arrival.now); },
                reading);
            if (!socket)
                return Failure(socket.error());
            m_sockets[i] = *socket;
            m_setting.ports.at(i) = m_sockets[i]->LocalAddress().port;
        }
        // The probe: several frames, so that a centre that loses some is still heard.
        std::vector<CentreDatagram> probe;
        for (int i = 0; i < CENTRE_PROBE_FRAMES; ++i)
            probe.push_back({m_fresh.Event(0), 0, {}});
        m_probing = true;
        Exchange(std::move(probe), true);
        return {};
    }

private:
    const CentreCase& Current() const { return CentreCases()[m_case]; }

    void Exchange(std::vector<CentreDatagram> datagrams, bool untilAnswered)
    {
        m_untilAnswered = untilAnswered;
        m_exchange.Begin(std::move(datagrams), m_setting.target, MonoClock::now());
        // Datagrams of one socket go in one call, so a burst leaves together.
        std::vector<BatchUdpSocket::Outgoing> outgoing;
        for (std::size_t s = 0; s < m_sockets.size(); ++s) {
            outgoing.clear();
            for (const auto& sent : m_exchange.Frames()) {
                if (sent.datagram.socket == s)
                    outgoing.push_back({m_setting.target, 0, sent.datagram.bytes});
            }
            if (!SendAll(*m_sockets[s], outgoing, m_run))
                return;
        }
        m_timer.start(m_setting.timeoutMs);
    }

    void OnBatch(std::size_t index, std::span<const BatchUdpSocket::Received> batch, MonoTime now)
    {
        for (const auto& datagram : batch) {
            if (m_load)
                m_load->Arrived(datagram.from, datagram.bytes, now);
            else
                m_exchange.Arrived(index, datagram.from, datagram.bytes, now);
        }
    }

    void AfterBatches()
    {
        if (m_load) {
            if (m_load->Settled())
                FinishLoad();
        } else if (m_untilAnswered && m_timer.isActive() && m_exchange.AllAnswered()) {
            m_timer.stop();
            Judge();
        }
    }

    void Judge()
    {
        if (m_load) {
            FinishLoad();
        } else if (m_probing) {
            m_probing = false;
            m_alive = !m_exchange.Arrivals().empty();
            NextCase();
        } else {
            Done(Current().judge(m_exchange, m_setting));
        }
    }

    void NextCase()
    {
        const auto cases = CentreCases();
        for (; m_case < cases.size(); ++m_case) {
            m_caseStart = MonoClock::now();
            if (!m_chosen[m_case])
                Report(Judgement::Skip("not chosen"));
            else if (!m_alive)
                Report(CentreUnheard(m_setting));
            else
                break;
        }
        if (m_case >= cases.size()) {
            m_run.Finish(m_report.ExitCode());
            return;
        }
        const CentreCase& row = Current();
        if (row.wait == CentreWait::Load) {
            StartLoad();
            return;
        }
        Exchange(row.send(m_fresh), row.wait == CentreWait::UntilAnswered);
    }

    void StartLoad()
    {
        m_load = std::make_unique<CentreLoad>(m_setting, MonoClock::now());
        m_loadTimer.start(LOAD_TICK);
        LoadTick();
    }

    void LoadTick()
    {
        const std::vector<Bytes> frames = m_load->Due(MonoClock::now(), m_fresh);
        std::vector<BatchUdpSocket::Outgoing> datagrams;
        for (const Bytes& frame : frames)
            datagrams.push_back({m_setting.target, 0, frame});
        if (!SendAll(*m_sockets[0], datagrams, m_run) || !m_load->AllSent())
            return;
        m_loadTimer.stop();
        // The last frames have the timeout to be answered.
        if (!m_timer.isActive())
            m_timer.start(m_setting.timeoutMs);
    }

    void FinishLoad()
    {
        m_timer.stop();
        m_loadTimer.stop();
        const auto load = std::move(m_load);
        Done(load->Judge(m_setting));
    }

    void Done(Judgement judgement)
    {
        Report(std::move(judgement));
        ++m_case;
        // A new case starts from the event loop, not from inside the judging one.
        QTimer::singleShot(0, this, &CentreSuite::NextCase);
    }

    void Report(Judgement judgement)
    {
        const double seconds = std::chrono::duration<double>(MonoClock::now() - m_caseStart).count();
        ReportVerdict(m_run, m_report, MakeVerdict(std::string(Current().id), std::move(judgement), seconds));
        m_run.Output().Flush();
    }

    CentreSetting m_setting;
    std::string m_junit;
    std::vector<bool> m_chosen;
    CommandRun& m_run;
    VerdictReport m_report;
    std::array<BatchUdpSocket*, CENTRE_SOCKETS> m_sockets{};
    QTimer m_timer;
    QTimer m_loadTimer;
    FreshFrames m_fresh;
    CentreExchange m_exchange;
    std::unique_ptr<CentreLoad> m_load;
    bool m_probing{false};
    bool m_untilAnswered{false};
    bool m_alive{false};
    std::size_t m_case{0};
    MonoTime m_caseStart;
};

int RunCentreTest(const CentreTestOptions& options)
{
    auto chosen = ChooseCentreCases(options.only, options.skip);
    if (!chosen)
        return UsageError(chosen.error());
    auto target = ResolveHostPort(options.to);
    if (!target)
        return UsageError(target.error());
    CommandRun run("test centre", options.output);
    CentreSuite suite(options, *target, std::move(*chosen), run);
    return run.Exec([&suite] { return suite.Start(); });
}

} // namespace

void AddTestCommand(CLI::App& app, CommandRunner& chosen)
{
    auto* test =
        app.add_subcommand("test", "Judge a centre or a panel by the protocol's rules, case by case");
    test->require_subcommand(1);

    auto options = std::make_shared<CentreTestOptions>();
    auto* centre = test->add_subcommand("centre", "Judge the centre at HOST:PORT by the centre rule");
    centre->add_option("--to", options->to, "The centre under test")
        ->required()
        ->type_name("HOST:PORT")
        ->check(HostPortValidator());
    centre->add_option("--timeout", options->timeoutMs, "How long to wait for an answer, or for none")
        ->capture_default_str()
        ->type_name("MS")
        ->check(CLI::Range(1, 3'600'000));
    centre->add_option("--only", options->only, "Run only these cases")->delimiter(',')->type_name("ID,...");
    centre->add_option("--skip", options->skip, "Leave these cases out")->delimiter(',')->type_name("ID,...");
    centre->add_option("--load-rate", options->loadRate, "Frames per second of the load case")
        ->capture_default_str()
        ->type_name("R")
        ->check(CLI::Range(1.0, 1'000'000.0));
    centre->add_option("--load-seconds", options->loadSeconds, "Length of the load case")
        ->capture_default_str()
        ->type_name("S")
        ->check(CLI::Range(0.001, 3600.0));
    centre->add_option("--junit", options->junit, "Write the verdicts as JUnit XML to FILE")
        ->type_name("FILE");
    AddFormatFlag(centre, options->output.format, "One JSON verdict object per case; a summary object last");
    centre->callback([options, &chosen] { chosen = [options] { return RunCentreTest(*options); }; });

    AddTestPanelCommand(*test, chosen);
}

#include "judge_centre.moc"
