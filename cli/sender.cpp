#include "cli/sender.h"

#include "cli/text_inputs.h"
#include "net/udp_endpoint.h"
#include "protocol/frame.h"
#include "sim/event_builder.h"

#include <cstdio>
#include <memory>
#include <variant>

using namespace veltrano;

namespace {

int RunSender(std::string command, std::vector<std::vector<std::uint8_t>> frames, SenderOptions options)
{
    if (auto to = ResolveSenderTarget(options); !to)
        return UsageError(to.error());
    CommandRun run(std::move(command), options.output);
    FrameSender sender(std::move(frames), options, run);
    return run.Exec([&sender] { return sender.Start(); });
}

struct SendArguments
{
    SenderOptions sender;
    int comm{0};
    int device{0};
    int zone{0};
    std::vector<std::string> events;
};

int RunSend(const SendArguments& arguments)
{
    // Every frame is built before the first goes: a refused event sends nothing.
    std::vector<std::vector<std::uint8_t>> frames;
    StatusBytes status = DEFAULT_STATUS;
    for (const std::string& name : arguments.events) {
        const int index = *ParseEventName(name);
        auto built = BuildEvent(index, status, static_cast<std::uint8_t>(arguments.comm),
                                static_cast<std::uint8_t>(arguments.device), arguments.zone);
        if (std::holds_alternative<EventRefusal>(built))
            return UsageError("event " + name + " needs --zone from 1 to 8");
        const auto& event = std::get<BuiltEvent>(built);
        status = event.status;
        frames.emplace_back(event.Frame().begin(), event.Frame().end());
    }
    return RunSender("send", std::move(frames), arguments.sender);
}

int RunHex(const std::vector<std::string>& words, const SenderOptions& options)
{
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i != 0)
            text += ' ';
        text += words[i];
    }
    FrameBuffer buffer{};
    const Result<std::size_t> parsed = ParseCommandText(text, buffer);
    if (!parsed)
        return UsageError("hex: \"" + text + "\" is " + parsed.error());
    return RunSender("hex", {{buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*parsed)}},
                     options);
}

} // namespace

void AddSendCommand(CLI::App& app, CommandRunner& chosen)
{
    auto arguments = std::make_shared<SendArguments>();
    auto* command = app.add_subcommand("send", "Send events as the window's panel builds them");
    AddSenderOptions(command, arguments->sender, true);
    command->add_option("--comm", arguments->comm, "Communicator number")
        ->required()
        ->type_name("C")
        ->check(CLI::Range(0, MAX_ADDRESS_NUMBER));
    command->add_option("--dev", arguments->device, "Device number")
        ->required()
        ->type_name("D")
        ->check(CLI::Range(0, MAX_ADDRESS_NUMBER));
    command->add_option("--zone", arguments->zone, "Zone of the zone events")
        ->capture_default_str()
        ->type_name("Z")
        ->check(CLI::Range(0, MAX_ZONE_NUMBER));
    command->add_option("EVENT", arguments->events, "Event index (0 to 22) or key; see `events`")
        ->required()
        ->check(EventValidator());
    command->callback([arguments, &chosen] { chosen = [arguments] { return RunSend(*arguments); }; });
}

void AddHexCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<SenderOptions>();
    auto words = std::make_shared<std::vector<std::string>>();
    auto* command = app.add_subcommand("hex", "Send the bytes of a hex command text, as the custom field");
    AddSenderOptions(command, *options, true);
    command->add_option("TEXT", *words, "Hex pairs separated by single spaces (words are joined by one)")
        ->required();
    command->callback(
        [options, words, &chosen] { chosen = [options, words] { return RunHex(*words, *options); }; });
}

FrameSender::FrameSender(std::vector<std::vector<std::uint8_t>> frames, const SenderOptions& options,
                         CommandRun& run, QObject* parent)
    : QObject(parent), m_frames(std::move(frames)), m_options(options), m_run(run)
{
    m_nextTimer.setSingleShot(true);
    m_nextTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_nextTimer, &QTimer::timeout, this, &FrameSender::SendCurrent);
    m_timeoutTimer.setSingleShot(true);
    m_timeoutTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_timeoutTimer, &QTimer::timeout, this, &FrameSender::OnTimeout);
    m_run.OnSummary([this](LineOutput& output, int exitCode) { WriteSummary(output, exitCode); });
}

FrameSender::~FrameSender() = default;

Status FrameSender::Start()
{
    BatchUdpSocket::Options socketOptions;
    socketOptions.port = m_options.fromPort;
    socketOptions.receiveBuffer = m_options.receiveBuffer;
    socketOptions.peer = m_options.to;
    CommandRun::Reading reading;
    reading.error = [this](const std::string& reason) {
        // The destination's port is closed; the wait goes on, as a panel's would.
        if (!m_refusedTold)
            PrintError(m_options.to.ToString() + ": " + reason);
        m_refusedTold = true;
    };
    auto socket = m_run.OpenSocket(
        socketOptions, [this](auto batch, const CommandRun::Arrival& arrival) { OnBatch(batch, arrival); },
        std::move(reading), 8);
    if (!socket)
        return Failure(socket.error());
    m_socket = *socket;
    m_local = m_socket->LocalAddress();
    m_nextTimer.start(0);
    return {};
}

void FrameSender::SendCurrent()
{
    if (m_index >= m_frames.size()) {
        m_run.Finish(m_missing > 0 ? EXIT_EXPECTATION_FAILED : EXIT_OK);
        return;
    }
    const auto& frame = m_frames[m_index];
    const BatchUdpSocket::Outgoing outgoing{m_options.to, 0, frame};
    // Stamped as it is handed over: the far side cannot have it earlier.
    const std::int64_t nowUs = WallClockUs();
    const MonoTime now = MonoClock::now();
    const auto outcome = m_socket->Send(std::span(&outgoing, 1));
    ++m_attempts;
    FrameRecord record = MakeRecord(nowUs, Direction::Out, m_options.to, m_local, frame, outcome.error);
    record.note = m_attempts > 1 ? "retry" : "";
    m_run.Log(record);
    m_run.EndOfBatch();
    if (outcome.sent == 1)
        ++m_sent;
    else
        ++m_sendFailed;
    if (m_options.expectAck) {
        if (m_attempts == 1 || !m_matcher.Resent(m_ticket, now))
            m_ticket = m_matcher.Sent(m_options.to, frame, m_index, now);
        m_waiting = true;
        m_timeoutTimer.start(m_options.timeoutMs);
    } else {
        Advance();
    }
}

void FrameSender::OnBatch(std::span<const BatchUdpSocket::Received> batch, const CommandRun::Arrival& arrival)
{
    for (const auto& datagram : batch) {
        if (m_run.Finished())
            break;
        FrameRecord record = MakeRecord(arrival.wallUs, Direction::In, datagram.from,
                                        {datagram.localAddress, m_local.port}, datagram.bytes);
        const AckMatcher::Match match =
            m_matcher.Received(datagram.from, datagram.bytes, record.decoded, arrival.now);
        const bool answered =
            match.outcome == AckMatcher::Outcome::Answered && m_waiting && match.id == m_index;
        record.note = MatchNote(match.outcome);
        if (answered) {
            record.rttUs = match.rtt.count();
            m_rtt.Add(*record.rttUs);
            ++m_acknowledged;
        } else if (match.outcome == AckMatcher::Outcome::BadChecksum) {
            ++m_badAcks;
        } else {
            ++m_unexpected;
        }
        m_run.Log(record);
        if (answered) {
            m_waiting = false;
            m_timeoutTimer.stop();
            Advance();
        }
    }
}

void FrameSender::OnTimeout()
{
    m_waiting = false;
    if (m_attempts <= m_options.retries) {
        ++m_retries;
        SendCurrent();
        return;
    }
    m_matcher.Forget(m_ticket);
    ++m_missing;
    std::fprintf(stderr, "veltrano-cli: no acknowledgement for frame %zu after %d attempt%s\n", m_index + 1,
                 m_attempts, m_attempts == 1 ? "" : "s");
    Advance();
}

void FrameSender::Advance()
{
    ++m_index;
    m_attempts = 0;
    if (m_index >= m_frames.size()) {
        m_run.Finish(m_missing > 0 ? EXIT_EXPECTATION_FAILED : EXIT_OK);
        return;
    }
    m_nextTimer.start(m_options.intervalMs);
}

void FrameSender::WriteSummary(LineOutput& output, int exitCode) const
{
    const RecordField fields[] = {
        {"frames", static_cast<std::uint64_t>(m_frames.size())},
        {"sent", m_sent},
        {"acknowledged", m_acknowledged},
        {"missing", m_missing},
        {"retries", m_retries},
        {"bad_acks", m_badAcks},
        {"unexpected", m_unexpected},
        {"send_failed", m_sendFailed},
        {"rtt_p50_us", static_cast<std::uint64_t>(m_rtt.Percentile(0.5))},
        {"rtt_max_us", static_cast<std::uint64_t>(m_rtt.Max())},
        {"exit", static_cast<std::uint64_t>(exitCode)},
    };
    output.Summary(m_run.Command(), fields);
}
