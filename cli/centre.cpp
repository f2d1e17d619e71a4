#include "cli/centre.h"

#include "net/host_port.h"
#include "net/udp_endpoint.h"
#include "protocol/frame_decoder.h"

#include <cstdio>
#include <memory>
#include <random>
#include <variant>

using namespace veltrano;

namespace {

int RunCentre(CentreOptions options, const std::optional<std::uint64_t>& seed)
{
    auto address = ResolveIpv4(options.bind);
    if (!address)
        return UsageError(address.error());
    options.seed = seed;
    CommandRun run("centre", options.output);
    Centre centre(options, *address, run);
    return run.Exec([&centre] { return centre.Start(); });
}

} // namespace

void AddCentreCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<CentreOptions>();
    auto seed = std::make_shared<std::uint64_t>(0);
    auto* command = app.add_subcommand("centre", "Listen and acknowledge as the window's centre does");
    command->add_option("--port", options->port, "UDP port to listen on (0: one the system picks)")
        ->required()
        ->type_name("P")
        ->check(CLI::Range(0, 65535));
    command->add_option("--bind", options->bind, "Local address to listen on")
        ->capture_default_str()
        ->type_name("ADDR");
    command->add_option("--count", options->count, "End after N datagrams received")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    command->add_option("--duration", options->durationS, "End after S seconds")
        ->type_name("S")
        ->check(CLI::Range(0.001, 31'536'000.0));
    command->add_flag("--no-ack", options->noAck, "Answer nothing");
    command
        ->add_option("--drop", options->dropPercent, "Leave PCT percent of answerable datagrams unanswered")
        ->type_name("PCT")
        ->check(CLI::Range(0.0, 100.0));
    command->add_option("--delay", options->delayMs, "Answer MS milliseconds late")
        ->type_name("MS")
        ->check(CLI::Range(0, 3'600'000));
    command->add_option("--dup", options->dupPercent, "Answer PCT percent of datagrams twice")
        ->type_name("PCT")
        ->check(CLI::Range(0.0, 100.0));
    command
        ->add_option("--bad-checksum", options->badChecksumPercent,
                     "Spoil the checksum of PCT percent of the acknowledgements")
        ->type_name("PCT")
        ->check(CLI::Range(0.0, 100.0));
    auto* seedOption =
        command->add_option("--seed", *seed, "Seed of the fault choices, to repeat a run")->type_name("N");
    AddReceiveBufferOption(command, options->receiveBuffer);
    AddOutputOptions(command, options->output);
    AddCentreWatchOptions(command, options->watch);
    command->callback([options, seed, seedOption, &chosen] {
        const std::optional<std::uint64_t> given = seedOption->empty() ? std::nullopt : std::optional(*seed);
        chosen = [options, given] { return RunCentre(*options, given); };
    });
}

Centre::Centre(const CentreOptions& options, std::uint32_t bindAddress, CommandRun& run, QObject* parent)
    : QObject(parent), m_options(options), m_bindAddress(bindAddress), m_run(run), m_watch(options.watch, run)
{
    m_seed = options.seed ? *options.seed : std::random_device{}();
    m_delayTimer.setSingleShot(true);
    m_delayTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_delayTimer, &QTimer::timeout, this, &Centre::OnDelayDue);
    m_durationTimer.setSingleShot(true);
    m_durationTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_durationTimer, &QTimer::timeout, this, [this] {
        StopReceiving();
        ArmDelayTimer();
    });
    // A signal ends the run at once: answers still held back by --delay are not sent.
    m_run.OnInterrupt([this](int) { m_run.Finish(EXIT_OK); });
    m_run.OnSummary([this](LineOutput& output, int) { WriteSummary(output); });
}

Status Centre::Start()
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

void Centre::OnBatch(std::span<const BatchUdpSocket::Received> batch, std::int64_t nowUs)
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

void Centre::Handle(const BatchUdpSocket::Received& datagram, std::int64_t nowUs)
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

void Centre::SendAnswers()
{
    auto& answers = m_answers.Ready();
    if (answers.empty())
        return;
    m_outgoing.clear();
    for (const auto& a : answers)
        m_outgoing.push_back({a.to, a.source, a.ack});
    const std::int64_t nowUs = WallClockUs();
    const std::size_t sent = CommandRun::SendEach(*m_socket, m_outgoing, [&](std::size_t i, int error) {
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

void Centre::OnDelayDue()
{
    m_answers.Release(MonoClock::now());
    SendAnswers();
    m_run.EndOfBatch();
    ArmDelayTimer();
}

void Centre::ArmDelayTimer()
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

void Centre::StopReceiving()
{
    m_receiving = false;
    m_run.StopReading();
    m_durationTimer.stop();
}

void Centre::WriteSummary(LineOutput& output) const
{
    auto fields = m_counts.SummaryFields(
        m_answers.Held(), m_socket != nullptr ? m_socket->KernelDrops() : 0,
        static_cast<std::uint64_t>(m_socket != nullptr ? m_socket->ReceiveBufferBytes() : 0), m_seed);
    const auto watched = m_watch.Summary();
    fields.insert(fields.end(), watched.begin(), watched.end());
    output.Summary("centre", fields);
}
