#include "cli/sweep.h"

#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/ack_tracker.h"
#include "link/pacer.h"
#include "link/rate_text.h"
#include "net/udp_endpoint.h"
#include "sim/sweep_batches.h"

#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

using namespace veltrano;

namespace {

struct SweepOptions
{
    SenderOptions sender;
    std::uint64_t count{0}; // 0: until interrupted
    std::uint64_t startTick{1};
    PaceOptions pace{"1", 16};
    veltrano::Pacer::Mode paceMode{veltrano::Pacer::Rate{1.0}}; // --rate and --window read
};

constexpr std::uint64_t MOST_PER_WAKE = 4096;
// Frames remembered while they wait: beyond a window or a second of the fastest rate, the oldest go.
constexpr std::size_t MATCHER_CAPACITY = std::size_t{1} << 17;

class Sweep final
{
public:
    Sweep(const SweepOptions& options, CommandRun& run)
        : m_options(options), m_run(run), m_batches(options.startTick, options.count),
          m_tracker({MATCHER_CAPACITY, std::chrono::milliseconds(options.sender.timeoutMs)},
                    options.sender.expectAck || std::holds_alternative<Pacer::Window>(options.paceMode)),
          m_pacer(options.paceMode, MonoClock::now())
    {
        ConnectOneShot(m_paceTimer, [this] { OnPace(); });
        OnTimeout(m_expiryTimer, [this] { ExpireOld(); });
        m_outgoing.reserve(MOST_PER_WAKE);
        m_run.OnInterrupt([this](int signal) { Finish(128 + signal); });
        m_run.OnSummary([this](LineOutput& output, int exitCode) { WriteSummary(output, exitCode); });
    }

    Status Start()
    {
        auto socket = m_run.OpenSocket(
            SocketOptionsOf(m_options.sender),
            [this](auto batch, const CommandRun::Arrival& arrival) { OnBatch(batch, arrival); },
            {.afterBatches = [this] { CheckDone(); }});
        if (!socket)
            return Failure(socket.error());
        m_socket = *socket;
        m_local = m_socket->LocalAddress();
        if (Tracking())
            m_expiryTimer.start(std::clamp(m_options.sender.timeoutMs / 10, 1, 100));
        m_start = MonoClock::now();
        m_lastSend = m_start;
        m_pacer = veltrano::Pacer(m_options.paceMode, m_start);
        m_paceTimer.start(0);
        return {};
    }

private:
    bool Tracking() const { return m_tracker.Pairing(); }
    bool AllSent() const { return m_batches.AllTaken(); }
    std::uint64_t Outstanding() const { return m_tracker.Waiting(); }
    void OnPace()
    {
        if (m_run.Finished())
            return;
        if (m_pacer.Windowed()) {
            Refill();
            LogSent();
            return;
        }
        Refill(MOST_PER_WAKE);
        LogSent();
        m_run.EndOfBatch();
        if (AllSent()) {
            CheckDone();
            return;
        }
        m_paceTimer.start(m_pacer.WaitFrom(MonoClock::now(), m_batches.Taken(), std::nullopt));
    }

    // Up to `count` ticks' frames in one go.
    void SendFrames(std::uint64_t count)
    {
        LogSent(); // what an earlier call sent, before its frames make way
        m_outgoing.clear();
        for (const auto& frame : m_batches.Take(count))
            m_outgoing.push_back({m_options.sender.to, 0, frame});
        // Stamped as they are handed over: the far side cannot have them earlier.
        m_sentUs = WallClockUs();
        const auto now = MonoClock::now();
        const auto outcome = m_socket->Send(m_outgoing);
        for (std::size_t i = 0; i < outcome.sent; ++i)
            m_tracker.Track(m_options.sender.to, m_batches.Batch()[i], m_batches.Taken() + i, now);
        // A frame refused for good is shown; one refused for want of buffer space goes with the next batch.
        m_sendError = m_batches.Handed(outcome.sent, outcome.error);
        m_tracker.Handed(outcome.sent, m_sendError != 0 ? 1 : 0);
        m_sentCount = outcome.sent;
        if (outcome.sent > 0)
            m_lastSend = now;
    }

    // The lines and capture records of what SendFrames last sent.
    void LogSent()
    {
        const auto batch = m_batches.Batch();
        for (std::size_t i = 0; i < m_sentCount; ++i)
            m_run.Log(MakeRecord(m_sentUs, Direction::Out, m_options.sender.to, m_local, batch[i]));
        if (m_sendError != 0)
            m_run.Log(MakeRecord(m_sentUs, Direction::Out, m_options.sender.to, m_local, batch[m_sentCount],
                                 m_sendError));
        m_sentCount = 0;
        m_sendError = 0;
    }

    // The frames the pacer lets go now, within --count, at most `most`.
    void Refill(std::uint64_t most = UINT64_MAX)
    {
        const std::uint64_t due =
            m_batches.Within(m_pacer.MayGo(MonoClock::now(), m_batches.Taken(), Outstanding()));
        if (due > 0)
            SendFrames(std::min(due, most));
    }

    void OnBatch(std::span<const BatchUdpSocket::Received> batch, const CommandRun::Arrival& arrival)
    {
        m_records.clear();
        for (const auto& datagram : batch) {
            FrameRecord& record =
                m_records.emplace_back(MakeRecord(arrival.wallUs, Direction::In, datagram.from,
                                                  {datagram.localAddress, m_local.port}, datagram.bytes));
            m_tracker.Received(record, arrival.now);
        }
        // The next frames go before this batch is written out, so that the far side is not kept waiting.
        if (m_pacer.Windowed())
            Refill();
        for (const FrameRecord& record : m_records)
            m_run.Log(record);
        LogSent();
    }

    void ExpireOld()
    {
        const std::size_t expired = m_tracker.Expire(MonoClock::now());
        if (expired > 0 && m_pacer.Windowed()) {
            Refill();
            LogSent();
        }
        CheckDone();
    }

    void CheckDone()
    {
        if (m_run.Finished() || !AllSent() || (Tracking() && Outstanding() > 0))
            return;
        Finish(m_options.sender.expectAck && m_tracker.Lost() > 0 ? EXIT_EXPECTATION_FAILED : EXIT_OK);
    }

    void Finish(int exitCode)
    {
        if (m_run.Finished())
            return;
        LogSent();
        m_paceTimer.stop();
        m_expiryTimer.stop();
        m_run.Finish(exitCode);
    }

    void WriteSummary(LineOutput& output, int exitCode) const
    {
        auto fields =
            veltrano::SendingFields(m_tracker, std::chrono::duration<double>(m_lastSend - m_start).count());
        fields.insert(fields.end(), {
                                        {"next_tick", m_batches.NextTick()},
                                        {"kernel_drops", m_socket != nullptr ? m_socket->KernelDrops() : 0},
                                        {"exit", static_cast<std::uint64_t>(exitCode)},
                                    });
        output.Summary("sweep", fields);
    }

    SweepOptions m_options;
    CommandRun& m_run;
    BatchUdpSocket* m_socket{nullptr};
    veltrano::Endpoint m_local;
    veltrano::SweepBatches m_batches;
    veltrano::AckTracker m_tracker;
    veltrano::Pacer m_pacer;
    QTimer m_paceTimer;
    QTimer m_expiryTimer;
    veltrano::MonoTime m_start;
    veltrano::MonoTime m_lastSend;

    std::size_t m_sentCount{0}; // of the batch, not yet logged
    std::int64_t m_sentUs{0};
    int m_sendError{0};                           // of the batch's frame m_sentCount
    std::vector<veltrano::FrameRecord> m_records; // of one received batch
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
};

int RunSweep(SweepOptions options)
{
    if (auto to = ResolveSenderTarget(options.sender); !to)
        return UsageError(to.error());
    options.paceMode = *PaceOf(options.pace.rateText, static_cast<std::uint64_t>(options.pace.window));
    return ExecDriver<Sweep>("sweep", options.sender.output, options);
}

} // namespace

void AddSweepCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<SweepOptions>();
    auto* command = app.add_subcommand("sweep", "Send the automatic sweep's frames");
    AddSenderOptions(command, options->sender, false);
    AddCheckedOption(command, "--count", options->count, "Frames to send (default: until interrupted)", "N",
                     CLI::PositiveNumber);
    AddCheckedOption(command, "--start-tick", options->startTick, "First tick to send, counted from 1", "K",
                     CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 48), ShownDefault::Yes);
    AddPaceOptions(command, options->pace, "Frames per second, or max")->capture_default_str();
    command->callback([options, &chosen] { chosen = [options] { return RunSweep(*options); }; });
}
