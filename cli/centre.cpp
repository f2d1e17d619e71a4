#include "cli/centre.h"

#include "book/centre_book.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "cli/metrics.h"
#include "link/centre_answers.h"
#include "link/frame_record.h"
#include "net/batch_udp_socket.h"
#include "net/host_port.h"
#include "net/udp_endpoint.h"
#include "protocol/frame_decoder.h"
#include "protocol/result.h"

#include <QObject>
#include <QTimer>

#include <CLI/CLI.hpp>

#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

using namespace veltrano;

namespace {

struct CentreWatchOptions
{
    double superviseS{0}; // 0: no supervision
    std::string reportPath;
    std::string metricsText; // ADDR:PORT; empty: none
    bool events{false};      // a line per event a panel's frame carries
};

// --supervise, --supervise-report, --events and --metrics on `centre`.
void AddCentreWatchOptions(CLI::App* command, CentreWatchOptions& options)
{
    AddCheckedOption(command, "--supervise", options.superviseS,
                     "Report a panel silent for longer than S seconds", "S", CLI::Range(0.001, 31'536'000.0));
    AddTypedOption(command, "--supervise-report", options.reportPath,
                   "Write the panels' table to FILE at the end", "FILE");
    command->add_flag("--events", options.events,
                      "Write a line per event a panel's frame carries, read against its last status");
    AddMetricsOption(command, options.metricsText);
}

// The monotonic clock at its tick's resolution (a few milliseconds), a fraction of the cost of a precise
// reading per datagram: silences are measured in seconds. Same epoch as steady_clock on Linux.
MonoTime CoarseNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return MonoTime(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

// What the centre adds with those options: the book (veltrano::CentreBook) fed from its receive path and
// checked on a timer, its lines written, its report file at the end, and the metrics endpoint. Without them
// there is no book and nothing to do per datagram.
class CentreWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CentreWatch)

public:
    CentreWatch(const CentreWatchOptions& options, CommandRun& run, QObject* parent = nullptr)
        : QObject(parent), m_options(options), m_run(run)
    {
        connect(&m_checkTimer, &QTimer::timeout, this, &CentreWatch::OnCheck);
        connect(&m_publishTimer, &QTimer::timeout, this, &CentreWatch::Publish);
        m_run.OnEndFile(options.reportPath, [this](const std::string& path) { return WriteReport(path); });
    }

    ~CentreWatch() override = default;

    // Starts the endpoint and the checks once the centre's socket is open.
    Status Start(const BatchUdpSocket& socket)
    {
        m_socket = &socket;
        const veltrano::CentreBook::Options book{m_options.superviseS, !m_options.reportPath.empty(),
                                                 m_options.events, !m_options.metricsText.empty()};
        if (veltrano::CentreBook::Needed(book)) {
            m_book = std::make_unique<veltrano::CentreBook>(book, m_run.Output().Format(), MonoClock::now());
            if (m_book->Supervising())
                m_checkTimer.start(m_book->Book().CheckPeriod());
        }
        return StartAnnouncedMetrics(m_options.metricsText, m_metrics, m_publishTimer);
    }

    // Every datagram the centre takes.
    void Heard(const veltrano::FrameRecord& record)
    {
        ++m_received;
        if (m_book)
            Book(record);
    }
    void Acknowledged(std::uint64_t count) { m_acknowledged += count; }
    // The book's fields of the centre's summary, valid until the next call.
    std::span<const RecordField> Summary() const
    {
        m_fields.clear();
        if (!m_book)
            return {};
        m_fields = m_book->SummaryFields(MonoClock::now(), m_longest);
        return m_fields;
    }

private:
    void Book(const FrameRecord& record)
    {
        std::string& out = m_run.Output().Buffer();
        m_book->Hear(out, record.peer, record.decoded, CoarseNow(), record.wallUs);
        m_run.Output().Written();
    }

    // A file that cannot be written is an error of the run, as a capture's is.
    Status WriteReport(const std::string& path) const
    {
        if (!m_book)
            return {};
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << m_book->Table(MonoClock::now());
        file.close();
        if (!file)
            return Failure("cannot write " + path);
        return {};
    }

    void OnCheck()
    {
        m_book->Check(m_run.Output().Buffer(), MonoClock::now());
        m_run.Output().Written();
        m_run.EndOfBatch();
    }

    void Publish()
    {
        veltrano::MetricsTotals totals{.framesReceived = m_received,
                                       .framesSent = m_acknowledged,
                                       .acknowledgements = m_acknowledged,
                                       .kernelDrops = m_socket != nullptr ? m_socket->KernelDrops() : 0};
        if (m_book)
            veltrano::AddBookTotals(totals, m_book->Book());
        m_metrics->Publish(totals);
    }

    CentreWatchOptions m_options;
    CommandRun& m_run;
    const BatchUdpSocket* m_socket{nullptr};
    std::unique_ptr<veltrano::CentreBook> m_book;
    std::unique_ptr<veltrano::MetricsEndpoint> m_metrics;
    QTimer m_checkTimer;
    QTimer m_publishTimer;
    std::uint64_t m_received{0};
    std::uint64_t m_acknowledged{0};
    mutable std::string m_longest;
    mutable std::vector<veltrano::RecordField> m_fields;
};

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
    std::optional<std::uint64_t> seed;
    int receiveBuffer{DEFAULT_RECEIVE_BUFFER};
    OutputOptions output;
    CentreWatchOptions watch;
};

// The centre's socket and timers around veltrano::AnswerPolicy and veltrano::CentreAnswers.
class Centre final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Centre)

public:
    Centre(const CentreOptions& options, std::uint32_t bindAddress, CommandRun& run,
           QObject* parent = nullptr)
        : QObject(parent), m_options(options), m_bindAddress(bindAddress), m_run(run),
          m_watch(options.watch, run)
    {
        m_seed = options.seed ? *options.seed : std::random_device{}();
        ConnectOneShot(m_delayTimer, this, &Centre::OnDelayDue);
        ConnectOneShot(m_durationTimer, this, [this] {
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
        BatchUdpSocket::Options socketOptions;
        socketOptions.bindAddress = m_bindAddress;
        socketOptions.port = m_options.port;
        socketOptions.receiveBuffer = m_options.receiveBuffer;
        CommandRun::Reading reading;
        reading.linger = true;
        reading.afterBatches = [this] { ArmDelayTimer(); };
        auto socket = m_run.OpenSocket(
            socketOptions,
            [this](auto batch, const CommandRun::Arrival& arrival) { OnBatch(batch, arrival.wallUs); },
            std::move(reading));
        if (!socket)
            return Failure(socket.error());
        m_socket = *socket;
        m_local = m_socket->LocalAddress();
        const veltrano::FaultRates rates{m_options.noAck, m_options.dropPercent, m_options.badChecksumPercent,
                                         m_options.dupPercent, std::chrono::milliseconds(m_options.delayMs)};
        m_policy = veltrano::AnswerPolicy(rates, m_seed, InterfaceBroadcastAddresses());
        if (auto watching = m_watch.Start(*m_socket); !watching)
            return watching;
        m_receiving = true;
        if (m_options.durationS > 0)
            m_durationTimer.start(
                std::chrono::milliseconds(static_cast<std::int64_t>(m_options.durationS * 1000)));
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
        const auto decision = m_policy.Decide(datagram.bytes, datagram.from);
        if (const auto* none = std::get_if<veltrano::NoAnswer>(&decision)) {
            m_counts.Unanswered(*none);
            return;
        }
        const auto& planned = std::get<veltrano::PlannedAnswer>(decision);
        // Bound to all addresses, the answer comes from the one the datagram reached; the clock is read only
        // for an answer held back.
        m_answers.Plan(planned, datagram.from, datagram.replySource,
                       planned.delay.count() > 0 ? MonoClock::now() : MonoTime{});
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
        const std::size_t sent = SendEach(*m_socket, m_outgoing, [&](std::size_t i, int error) {
            const auto& a = answers[i];
            FrameRecord record =
                MakeRecord(nowUs, Direction::Out, a.to,
                           {a.source != 0 ? a.source : m_local.address, m_local.port}, a.ack, error);
            record.note = a.Note();
            m_run.Log(record);
            m_counts.Sent(a, error);
        });
        m_watch.Acknowledged(sent);
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
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - MonoClock::now());
        m_delayTimer.start(std::max(wait, std::chrono::milliseconds(0)));
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
        const auto watched = m_watch.Summary();
        fields.insert(fields.end(), watched.begin(), watched.end());
        output.Summary("centre", fields);
    }

    CentreOptions m_options;
    std::uint32_t m_bindAddress{0};
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
    bool m_receiving{false};
    CentreWatch m_watch;
};

int RunCentre(CentreOptions options, const std::optional<std::uint64_t>& seed)
{
    auto address = ResolveIpv4(options.bind);
    if (!address)
        return UsageError(address.error());
    options.seed = seed;
    return ExecDriver<Centre>("centre", options.output, options, *address);
}

} // namespace

void AddCentreCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<CentreOptions>();
    auto seed = std::make_shared<std::uint64_t>(0);
    auto* command = app.add_subcommand("centre", "Listen and acknowledge as the window's centre does");
    AddListenOptions(command, options->port, options->bind, "UDP port to listen on (0: one the system picks)",
                     0);
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
    auto* seedOption =
        AddTypedOption(command, "--seed", *seed, "Seed of the fault choices, to repeat a run", "N");
    AddReceiveBufferOption(command, options->receiveBuffer);
    AddOutputOptions(command, options->output);
    AddCentreWatchOptions(command, options->watch);
    command->callback([options, seed, seedOption, &chosen] {
        const std::optional<std::uint64_t> given = seedOption->empty() ? std::nullopt : std::optional(*seed);
        chosen = [options, given] { return RunCentre(*options, given); };
    });
}

#include "centre.moc"
