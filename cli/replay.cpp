#include "cli/replay.h"

#include "capture/captured_exchange.h"
#include "capture/replay_feed.h"
#include "capture/replay_summary.h"
#include "capture/replayed_frames.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/rate_text.h"
#include "net/host_port.h"
#include "net/udp_endpoint.h"
#include "verdict/junit.h"

#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

struct ReplayOptions
{
    std::string file;
    std::string toText;
    veltrano::Endpoint to;
    int timeoutMs{1000};
    int receiveBuffer{DEFAULT_RECEIVE_BUFFER};
    OutputOptions output;
    double speed{1.0}; // of the captured gaps
    PaceOptions pace;
    veltrano::Pacer::Mode paceMode{veltrano::Pacer::CapturedGaps{1.0}}; // --rate, --window and --speed read
    std::string filter;
    std::size_t sockets{256};
    std::string junitPath;
    bool expectSame{false};
};

using veltrano::FrameVerdict;

constexpr std::uint64_t MOST_PER_WAKE = 1024;
// Frames one socket remembers while they wait; past it the oldest are given up as missing.
constexpr std::size_t MATCHER_CAPACITY = 2048;
constexpr std::size_t LOOK_AHEAD_FRAMES = 2048;
// Failing frames a JUnit case lists; the rest are counted.
constexpr std::uint64_t MOST_DETAIL_LINES = 200;

// The sockets that stand in for the captured sources (past --sockets, several each), each opened as its
// first frame goes, on its own port.
class SourceSockets final
{
public:
    using OnBatch = std::function<void(std::size_t index, std::span<const BatchUdpSocket::Received>,
                                       const CommandRun::Arrival&)>;

    SourceSockets(const ReplayOptions& options, CommandRun& run, OnBatch batch, std::function<void()> after)
        : m_options(options), m_run(run), m_batch(std::move(batch)), m_after(std::move(after))
    {}

    Result<BatchUdpSocket*> Of(std::size_t index)
    {
        if (m_sockets.size() <= index) {
            m_sockets.resize(index + 1, nullptr);
            m_locals.resize(index + 1);
        }
        if (m_sockets[index] != nullptr)
            return m_sockets[index];
        // Its own port on the local address; a centre elsewhere is reached from any address.
        const std::uint32_t local = (m_options.to.address >> 24) == 127 ? LOOPBACK_ADDRESS : 0;
        const BatchUdpSocket::Options options{
            .bindAddress = local, .receiveBuffer = m_options.receiveBuffer, .peer = m_options.to};
        auto socket = m_run.OpenSocket(
            options,
            [this, index](auto batch, const CommandRun::Arrival& arrival) { m_batch(index, batch, arrival); },
            {.afterBatches = m_after});
        if (!socket)
            return Failure(socket.error());
        m_sockets[index] = *socket;
        m_locals[index] = (*socket)->LocalAddress();
        return *socket;
    }

    // Where socket `index` sends from; opened already.
    const veltrano::Endpoint& Local(std::size_t index) const { return m_locals[index]; }

private:
    const ReplayOptions& m_options;
    CommandRun& m_run;
    OnBatch m_batch;
    std::function<void()> m_after;
    std::vector<BatchUdpSocket*> m_sockets;
    std::vector<veltrano::Endpoint> m_locals;
};

class Replay final
{
public:
    Replay(const ReplayOptions& options, std::unique_ptr<veltrano::CaptureReader> reader, CommandRun& run)
        : m_options(options), m_reader(std::move(reader)),
          m_exchange(*m_reader,
                     {std::chrono::milliseconds(options.timeoutMs), LOOK_AHEAD_FRAMES, options.sockets}),
          m_run(run), m_sockets(
                          m_options, run,
                          [this](std::size_t index, auto batch, const CommandRun::Arrival& arrival) {
                              OnBatch(index, batch, arrival);
                          },
                          [this] { CheckDone(); }),
          m_frames({options.to, std::chrono::milliseconds(options.timeoutMs), MATCHER_CAPACITY,
                    options.expectSame, MOST_DETAIL_LINES},
                   [this](const veltrano::ReplayedFrames::Judged& judged) { LogJudged(judged); }),
          m_feed(m_exchange, m_frames, options.paceMode, MonoClock::now())
    {
        ConnectOneShot(m_paceTimer, [this] { OnPace(); });
        OnTimeout(m_expiryTimer, [this] { ExpireOld(); });
        m_outgoing.reserve(MOST_PER_WAKE);
        m_run.OnInterrupt([this](int signal) { Finish(128 + signal); });
        m_run.OnSummary([this](LineOutput& output, int exitCode) {
            const veltrano::ReplayReport report{m_options.file, m_exchange, m_frames,
                                                m_feed.Cut().has_value(),
                                                static_cast<std::uint64_t>(exitCode)};
            veltrano::AppendReplaySummary(output.Buffer(), output.Format(), report);
            output.Flush();
        });
        m_run.OnJunit(options.junitPath, [this](const std::string& path) {
            return WriteJunit(path, "replay", veltrano::SourceVerdicts(m_frames.Tally(), m_options.file));
        });
    }

    Status Start()
    {
        // "replay: sent N of M, ...": M from a first pass over the file.
        if (m_run.ShowProgress([this] { return ProgressLine(); }))
            m_extent = veltrano::MeasureCapture(m_options.file, m_options.filter);
        m_feed.Restart(MonoClock::now());
        m_expiryTimer.start(std::clamp(m_options.timeoutMs / 10, 1, 100));
        m_paceTimer.start(0);
        return {};
    }

private:
    void OnPace()
    {
        if (m_run.Finished())
            return;
        if (m_feed.Windowed()) {
            if (const std::uint64_t room = m_feed.Room(MonoClock::now()); room > 0)
                SendFrames(room, false);
            CheckDone();
            return;
        }
        SendFrames(MOST_PER_WAKE, true);
        m_run.EndOfBatch();
        if (const auto wait = m_feed.WaitFrom(MonoClock::now()))
            m_paceTimer.start(*wait);
        else
            CheckDone();
    }

    // Up to `count` frames, with `onlyDue` only those due, in capture order.
    void SendFrames(std::uint64_t count, bool onlyDue)
    {
        const MonoTime now = MonoClock::now();
        for (std::uint64_t taken = 0; taken < count && !m_feed.AllRead();) {
            // A run of frames of one sender goes in one call.
            const auto index = m_feed.TakeRun(now, count - taken, onlyDue, m_taken);
            if (!index)
                return;
            taken += m_taken.size();
            auto socket = m_sockets.Of(*index);
            if (!socket) {
                PrintError(socket.error());
                Finish(EXIT_IO);
                return;
            }
            m_outgoing.clear();
            for (const auto bytes : m_taken)
                m_outgoing.push_back({m_options.to, 0, bytes});
            const std::int64_t wallUs = WallClockUs();
            const MonoTime sentAt = MonoClock::now();
            const auto outcome = (*socket)->Send(m_outgoing);
            m_frames.Sent(m_outgoing.size(), outcome.sent, outcome.error, sentAt, wallUs);
        }
    }

    void OnBatch(std::size_t index, std::span<const BatchUdpSocket::Received> batch,
                 const CommandRun::Arrival& arrival)
    {
        // Judged first, the lines after the next frames went, so that the far side is not kept waiting;
        // each answer's line still comes before the line of the frame it judged.
        m_records.clear();
        m_heldAfter.clear();
        m_frames.Hold();
        for (const auto& datagram : batch) {
            FrameRecord& record = m_records.emplace_back(MakeRecord(
                arrival.wallUs, Direction::In, datagram.from, m_sockets.Local(index), datagram.bytes));
            if (const auto answered = m_frames.Received(index, record, arrival.now))
                m_frames.Answer(*answered, datagram.bytes, arrival.now);
            m_heldAfter.push_back(m_frames.Held());
        }
        if (m_feed.Windowed()) {
            if (const std::uint64_t room = m_feed.Room(arrival.now); room > 0)
                SendFrames(room, false);
        }
        for (std::size_t i = 0; i < m_records.size(); ++i) {
            m_run.Log(m_records[i]);
            m_frames.Release(m_heldAfter[i]);
        }
        m_frames.ReleaseAll();
    }

    void ExpireOld()
    {
        if (m_run.Finished())
            return;
        m_frames.Expire(MonoClock::now());
        if (m_feed.Windowed() && !m_feed.AllRead())
            OnPace();
        CheckDone();
    }

    void LogJudged(const veltrano::ReplayedFrames::Judged& judged)
    {
        FrameRecord record =
            MakeRecord(judged.sentUs, Direction::Out, m_options.to, m_sockets.Local(judged.frame.sender),
                       judged.frame.Bytes(), judged.sendError);
        record.extra = judged.fields;
        m_run.Log(record);
    }

    std::string ProgressLine() const
    {
        return veltrano::ReplayProgressLine(m_frames, m_extent, GapSpeed(m_options.paceMode));
    }

    void CheckDone()
    {
        if (m_run.Finished() || !m_feed.AllRead() || !m_frames.AllJudged())
            return;
        Finish(m_feed.Cut() || m_frames.Failed() ? EXIT_EXPECTATION_FAILED : EXIT_OK);
    }

    void Finish(int exitCode)
    {
        if (m_run.Finished())
            return;
        m_paceTimer.stop();
        m_expiryTimer.stop();
        if (m_feed.Cut())
            PrintError(*m_feed.Cut());
        m_run.Finish(exitCode);
    }

    ReplayOptions m_options;
    std::unique_ptr<veltrano::CaptureReader> m_reader;
    veltrano::CapturedExchange m_exchange;
    CommandRun& m_run;
    SourceSockets m_sockets;
    veltrano::ReplayedFrames m_frames;
    veltrano::ReplayFeed m_feed;
    veltrano::CaptureExtent m_extent;
    QTimer m_paceTimer;
    QTimer m_expiryTimer;
    std::vector<std::span<const std::uint8_t>> m_taken; // of one run
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
    std::vector<FrameRecord> m_records;   // of one received batch
    std::vector<std::size_t> m_heldAfter; // verdicts held after each of m_records
};

int RunReplay(ReplayOptions options)
{
    auto to = ResolveHostPort(options.toText);
    if (!to)
        return UsageError(to.error());
    options.to = *to;
    options.paceMode =
        *PaceOf(options.pace.rateText, static_cast<std::uint64_t>(options.pace.window), options.speed);
    auto reader = CaptureReader::Open(options.file, options.filter);
    if (!reader)
        return UsageError(reader.error());
    return ExecDriver<Replay>("replay", options.output, options, std::move(*reader));
}

} // namespace

void AddReplayCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<ReplayOptions>();
    auto* command = app.add_subcommand("replay", "Send a capture's frames again and judge the answers");
    command->add_option("FILE", options->file, "A pcap or pcapng capture")->required();
    AddToOption(command, options->toText, "The centre under test: an IPv4 address or host, a port");
    auto* speed =
        AddCheckedOption(command, "--speed", options->speed, "Scale of the captured gaps (2: twice as fast)",
                         "X", CLI::Range(0.001, 1'000'000.0), ShownDefault::Yes);
    AddPaceOptions(command, options->pace, "Frames per second instead of the captured gaps, or max")
        ->excludes(speed);
    AddTypedOption(command, "--filter", options->filter, "Only the records this BPF expression matches",
                   "EXPR");
    AddTimeoutOption(command, options->timeoutMs, "How long a frame waits for its answer");
    AddCheckedOption(command, "--sockets", options->sockets,
                     "Most sockets; past them sources share round-robin", "N", CLI::Range(1, 4096),
                     ShownDefault::Yes);
    AddJunitOption(command, options->junitPath, "Write a JUnit test case per captured source to FILE");
    command->add_flag("--expect-same", options->expectSame, "Fail on answers that differ from the capture");
    AddReceiveBufferOption(command, options->receiveBuffer);
    AddOutputOptions(command, options->output);
    command->callback([options, &chosen] { chosen = [options] { return RunReplay(*options); }; });
}
