#include "cli/sender.h"

#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/stop_and_wait.h"
#include "net/udp_endpoint.h"
#include "protocol/frame.h"
#include "sim/event_name.h"
#include "sim/event_sequence.h"

#include <QTimer>

#include <fmt/format.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

using namespace veltrano;

namespace {

class FrameSender final
{
public:
    FrameSender(std::vector<std::vector<std::uint8_t>> frames, const SenderOptions& options, CommandRun& run)
        : m_options(options), m_frames(std::move(frames), {options.to, options.expectAck, options.retries}),
          m_run(run)
    {
        ConnectOneShot(m_nextTimer, [this] { SendCurrent(); });
        ConnectOneShot(m_timeoutTimer, [this] { OnTimeout(); });
        m_run.OnSummary([this](LineOutput& output, int exitCode) {
            output.Summary(m_run.Command(), m_frames.SummaryFields(static_cast<std::uint64_t>(exitCode)));
        });
    }

    // Opens the socket; the reason when it cannot be opened (nothing was sent).
    Status Start()
    {
        CommandRun::Reading reading;
        reading.error = [this](const std::string& reason) {
            // The destination's port is closed; the wait goes on, as a panel's would.
            if (!m_refusedTold)
                PrintError(m_options.to.ToString() + ": " + reason);
            m_refusedTold = true;
        };
        auto socket = m_run.OpenSocket(
            SocketOptionsOf(m_options),
            [this](auto batch, const CommandRun::Arrival& arrival) { OnBatch(batch, arrival); },
            std::move(reading), 8);
        if (!socket)
            return Failure(socket.error());
        m_socket = *socket;
        m_local = m_socket->LocalAddress();
        m_nextTimer.start(0);
        return {};
    }

private:
    void SendCurrent()
    {
        if (m_frames.Done()) {
            Finish();
            return;
        }
        const auto frame = m_frames.Current();
        const BatchUdpSocket::Outgoing outgoing{m_options.to, 0, frame};
        // Stamped as it is handed over: the far side cannot have it earlier.
        const std::int64_t nowUs = WallClockUs();
        const MonoTime now = MonoClock::now();
        const auto outcome = m_socket->Send(std::span(&outgoing, 1));
        FrameRecord record = MakeRecord(nowUs, Direction::Out, m_options.to, m_local, frame, outcome.error);
        record.note = m_frames.Sent(outcome.sent == 1, now);
        m_run.Log(record);
        m_run.EndOfBatch();
        if (m_frames.Waiting())
            m_timeoutTimer.start(m_options.timeoutMs);
        else
            Advance();
    }

    void OnBatch(std::span<const BatchUdpSocket::Received> batch, const CommandRun::Arrival& arrival)
    {
        for (const auto& datagram : batch) {
            if (m_run.Finished())
                break;
            FrameRecord record = MakeRecord(arrival.wallUs, Direction::In, datagram.from,
                                            {datagram.localAddress, m_local.port}, datagram.bytes);
            const bool answered = m_frames.Received(record, arrival.now);
            m_run.Log(record);
            if (answered) {
                m_timeoutTimer.stop();
                Advance();
            }
        }
    }

    void OnTimeout()
    {
        if (m_frames.TimedOut()) {
            SendCurrent();
            return;
        }
        std::fprintf(stderr, "veltrano-cli: no acknowledgement for frame %zu after %d attempt%s\n",
                     m_frames.Index() + 1, m_frames.Attempts(), m_frames.Attempts() == 1 ? "" : "s");
        Advance();
    }

    // On to the next frame, or the end.
    void Advance()
    {
        m_frames.Next();
        if (m_frames.Done())
            Finish();
        else
            m_nextTimer.start(m_options.intervalMs);
    }

    void Finish() { m_run.Finish(m_frames.Missing() > 0 ? EXIT_EXPECTATION_FAILED : EXIT_OK); }

    SenderOptions m_options;
    veltrano::StopAndWait m_frames;
    CommandRun& m_run;
    BatchUdpSocket* m_socket{nullptr};
    veltrano::Endpoint m_local;
    QTimer m_nextTimer;
    QTimer m_timeoutTimer;
    bool m_refusedTold{false};
};

int RunSender(std::string command, std::vector<std::vector<std::uint8_t>> frames, SenderOptions options)
{
    if (auto to = ResolveSenderTarget(options); !to)
        return UsageError(to.error());
    return ExecDriver<FrameSender>(std::move(command), options.output, std::move(frames), options);
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
    std::vector<int> rows;
    for (const std::string& name : arguments.events)
        rows.push_back(*ParseEventName(name));
    // Every frame is built before the first goes: a refused event sends nothing.
    auto frames = veltrano::BuildEventSequence(rows, static_cast<std::uint8_t>(arguments.comm),
                                               static_cast<std::uint8_t>(arguments.device), arguments.zone);
    if (!frames)
        return UsageError("event " + arguments.events[frames.error()] + " needs --zone from 1 to 8");
    return RunSender("send", std::move(*frames), arguments.sender);
}

int RunHex(const std::vector<std::string>& words, const SenderOptions& options)
{
    const std::string text = fmt::format("{}", fmt::join(words, " "));
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
    const CLI::Range addressNumber(0, MAX_ADDRESS_NUMBER);
    AddCheckedOption(command, "--comm", arguments->comm, "Communicator number", "C", addressNumber)
        ->required();
    AddCheckedOption(command, "--dev", arguments->device, "Device number", "D", addressNumber)->required();
    AddCheckedOption(command, "--zone", arguments->zone, "Zone of the zone events", "Z",
                     CLI::Range(0, MAX_ZONE_NUMBER), ShownDefault::Yes);
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
