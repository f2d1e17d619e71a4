#include "cli/centre.h"

#include "cli/centre_watch.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/centre_answers.h"
#include "link/frame_record.h"
#include "link/pacer.h"
#include "net/batch_udp_socket.h"
#include "net/host_port.h"
#include "net/udp_endpoint.h"
#include "protocol/frame_decoder.h"
#include "protocol/result.h"

#include <QTimer>

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

struct CentreOptions
{
    std::uint16_t port{0};
    std::string bind{"0.0.0.0"};
    std::uint64_t count{0}; // 0: no limit
    double durationS{0};    // 0: no limit
    bool noAck{false};
    double dropPercent{0};
    int delayMs{0};
    double dupPercent{0};
    double badChecksumPercent{0};
    std::vector<std::string> rules;    // after the options above, on the same engine
    std::optional<std::uint64_t> seed; // none: drawn
    int receiveBuffer{DEFAULT_RECEIVE_BUFFER};
    OutputOptions output;
    CentreWatchOptions watch;
};

// The centre's socket and timers around veltrano::AnswerPolicy and veltrano::CentreAnswers.
class Centre final
{
public:
    Centre(const CentreOptions& options, std::uint32_t bindAddress, std::vector<veltrano::FaultRule> rules,
           CommandRun& run)
        : m_options(options), m_bindAddress(bindAddress), m_rules(std::move(rules)), m_run(run),
          m_watch(options.watch, run,
                  [this](veltrano::MetricsTotals& totals) { veltrano::AddCentreTotals(totals, m_counts); })
    {
        m_seed = options.seed ? *options.seed : std::random_device{}();
        ConnectOneShot(m_delayTimer, [this] { OnDelayDue(); });
        ConnectOneShot(m_durationTimer, [this] {
            // A duration longer than a timer holds is waited for in pieces.
            if (const MonoTime now = MonoClock::now(); now < m_durationEnd) {
                m_durationTimer.start(TimerWait(m_durationEnd, now));
                return;
            }
            StopReceiving();
            ArmDelayTimer();
        });
        // A signal ends the run at once: answers still held back by --delay are not sent.
        m_run.OnInterrupt([this](int) { m_run.Finish(EXIT_OK); });
        m_run.OnSummary([this](LineOutput& output, int) { WriteSummary(output); });
    }

    // Opens the socket; the reason when it cannot be opened (nothing was received).
    Status Start()
    {
        auto socket = m_run.OpenSocket(
            {.bindAddress = m_bindAddress, .port = m_options.port, .receiveBuffer = m_options.receiveBuffer},
            [this](auto batch, const CommandRun::Arrival& arrival) { OnBatch(batch, arrival.wallUs); },
            {.linger = true, .afterBatches = [this] { ArmDelayTimer(); }});
        if (!socket)
            return Failure(socket.error());
        m_socket = *socket;
        m_local = m_socket->LocalAddress();
        const veltrano::FaultRates rates{m_options.noAck, m_options.dropPercent, m_options.badChecksumPercent,
                                         m_options.dupPercent, std::chrono::milliseconds(m_options.delayMs)};
        m_policy = veltrano::AnswerPolicy(rates, std::move(m_rules), m_seed, InterfaceBroadcastAddresses());
        if (auto watching = m_watch.Start(*m_socket); !watching)
            return watching;
        m_receiving = true;
        if (m_options.durationS > 0) {
            const MonoTime now = MonoClock::now();
            m_durationEnd =
                now + std::chrono::milliseconds(static_cast<std::int64_t>(m_options.durationS * 1000));
            m_durationTimer.start(TimerWait(m_durationEnd, now));
        }
        m_run.Output().Listening(m_local);
        std::fprintf(stderr, "centre listening on %s (receive buffer %d bytes, seed %llu)\n",
                     m_local.ToString().c_str(), m_socket->ReceiveBufferBytes(),
                     static_cast<unsigned long long>(m_seed));
        return {};
    }

private:
    void OnBatch(std::span<const BatchUdpSocket::Received> batch, std::int64_t nowUs)
    {
        for (const auto& datagram : batch) {
            Handle(datagram, nowUs);
            if (m_options.count != 0 && m_counts.ReceivedCount() >= m_options.count) {
                StopReceiving();
                break;
            }
        }
        SendAnswers();
    }

    void Handle(const BatchUdpSocket::Received& datagram, std::int64_t nowUs)
    {
        // Decoded once, for the line and the count alike.
        const FrameRecord record = MakeRecord(nowUs, Direction::In, datagram.from,
                                              {datagram.localAddress, m_local.port}, datagram.bytes);
        m_counts.Received(!record.decoded.findings.Empty());
        m_run.Log(record);
        m_watch.Heard(record);
        // Bound to all addresses, the answer comes from the one the datagram reached.
        const auto decision = m_policy.Decide(datagram.bytes, datagram.from);
        if (const auto none = m_answers.Plan(decision, datagram.from, datagram.replySource, MonoClock::now))
            m_counts.Unanswered(*none);
    }

    void SendAnswers()
    {
        auto& answers = m_answers.Ready();
        if (answers.empty())
            return;
        m_outgoing.clear();
        for (const auto& a : answers)
            m_outgoing.push_back({a.to, a.source, a.ack});
        const std::int64_t nowUs = WallClockUs();
        m_socket->SendEach(m_outgoing, [&](std::size_t i, int error) {
            const auto& a = answers[i];
            FrameRecord record =
                MakeRecord(nowUs, Direction::Out, a.to,
                           {a.source != 0 ? a.source : m_local.address, m_local.port}, a.ack, error);
            record.note = a.Note();
            m_run.Log(record);
            m_counts.Sent(a, error);
        });
        answers.clear();
    }

    void OnDelayDue()
    {
        m_answers.Release(MonoClock::now());
        SendAnswers();
        m_run.EndOfBatch();
        ArmDelayTimer();
    }

    // Also ends the run when nothing is held back and no more datagrams are taken.
    void ArmDelayTimer()
    {
        const auto due = m_answers.NextDue();
        if (!due) {
            if (!m_receiving)
                m_run.Finish(EXIT_OK);
            return;
        }
        if (m_delayTimer.isActive())
            return;
        m_delayTimer.start(TimerWait(*due, MonoClock::now()));
    }

    // No more datagrams are taken; ArmDelayTimer then ends the run once the held-back answers are out.
    void StopReceiving()
    {
        m_receiving = false;
        m_run.StopReading();
        m_durationTimer.stop();
    }

    void WriteSummary(LineOutput& output) const
    {
        auto fields = m_counts.SummaryFields(
            m_answers.Held(), m_socket != nullptr ? m_socket->KernelDrops() : 0,
            static_cast<std::uint64_t>(m_socket != nullptr ? m_socket->ReceiveBufferBytes() : 0), m_seed);
        m_watch.AppendSummary(fields);
        output.Summary("centre", fields);
    }

    CentreOptions m_options;
    std::uint32_t m_bindAddress{0};
    std::vector<veltrano::FaultRule> m_rules; // until the policy takes them
    CommandRun& m_run;
    BatchUdpSocket* m_socket{nullptr};
    veltrano::Endpoint m_local;
    std::uint64_t m_seed{0};
    veltrano::AnswerPolicy m_policy{std::vector<std::uint32_t>{}};
    veltrano::CentreAnswers m_answers;
    veltrano::CentreCounts m_counts;
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
    QTimer m_delayTimer;
    QTimer m_durationTimer;
    veltrano::MonoTime m_durationEnd;
    bool m_receiving{false};
    CentreWatch m_watch;
};

int RunCentre(const CentreOptions& options)
{
    auto address = ResolveIpv4(options.bind);
    if (!address)
        return UsageError(address.error());
    auto rules = veltrano::AnswerRules(options.rules);
    if (!rules)
        return UsageError(rules.error());
    return ExecDriver<Centre>("centre", options.output, options, *address, std::move(*rules));
}

} // namespace

void AddCentreCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<CentreOptions>();
    auto* command = app.add_subcommand("centre", "Listen and acknowledge as the window's centre does");
    AddListenOptions(command, options->port, options->bind,
                     "UDP port to listen on (0: one the system picks)");
    AddCheckedOption(command, "--count", options->count, "End after N datagrams received", "N",
                     CLI::PositiveNumber);
    AddCheckedOption(command, "--duration", options->durationS, "End after S seconds", "S",
                     CLI::Range(0.001, 31'536'000.0));
    command->add_flag("--no-ack", options->noAck, "Answer nothing");
    const CLI::Range percent(0.0, 100.0);
    AddCheckedOption(command, "--drop", options->dropPercent,
                     "Leave PCT percent of answerable datagrams unanswered", "PCT", percent);
    AddCheckedOption(command, "--delay", options->delayMs, "Answer MS milliseconds late", "MS",
                     CLI::Range(0, 3'600'000));
    AddCheckedOption(command, "--dup", options->dupPercent, "Answer PCT percent of datagrams twice", "PCT",
                     percent);
    AddCheckedOption(command, "--bad-checksum", options->badChecksumPercent,
                     "Spoil the checksum of PCT percent of the acknowledgements", "PCT", percent);
    command->add_option("--rule", options->rules, "A fault rule of the answers, after the options above")
        ->type_name("RULE");
    AddTypedOption(command, "--seed", options->seed, "Seed of the fault choices, to repeat a run", "N");
    AddReceiveBufferOption(command, options->receiveBuffer);
    AddOutputOptions(command, options->output);
    AddCentreWatchOptions(command, options->watch);
    command->callback([options, &chosen] { chosen = [options] { return RunCentre(*options); }; });
}
