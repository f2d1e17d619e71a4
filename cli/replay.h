#pragma once

#include "capture/captured_exchange.h"
#include "capture/replay_feed.h"
#include "capture/replay_summary.h"
#include "capture/replayed_frames.h"
#include "cli/command.h"
#include "cli/command_run.h"
#include "cli/common_options.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
    std::optional<double> rate; // --rate read: frames per second instead of the captured gaps
    bool rateMax{false};        // as fast as the answers allow, at most `pace.window` outstanding
    std::string filter;
    std::size_t sockets{256};
    std::string junitPath;
    bool expectSame{false};
};

// `replay`: the frames of a capture sent again, each captured source from a socket of its own, and every
// live answer judged against the centre's rule and against the answer the capture had.
void AddReplayCommand(CLI::App& app, CommandRunner& chosen);

// The sockets that stand in for the captured sources (past --sockets, several each), each opened as its
// first frame goes, on its own port.
class SourceSockets final
{
public:
    using OnBatch = std::function<void(std::size_t index, std::span<const BatchUdpSocket::Received>,
                                       const CommandRun::Arrival&)>;

    SourceSockets(const ReplayOptions& options, CommandRun& run, OnBatch batch, std::function<void()> after);

    veltrano::Result<BatchUdpSocket*> Of(std::size_t index);
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

// "replay: sent N of M, ..." on a terminal's standard error each second: M from a first pass over the file.
class ReplayProgress final
{
public:
    ReplayProgress(const ReplayOptions& options, const veltrano::ReplayedFrames& frames);
    void Start();
    void Stop() { m_timer.stop(); }

private:
    void Show() const;

    const ReplayOptions& m_options;
    const veltrano::ReplayedFrames& m_frames;
    veltrano::CaptureExtent m_extent;
    QTimer m_timer;
};

class Replay final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Replay)

public:
    Replay(const ReplayOptions& options, std::unique_ptr<veltrano::CaptureReader> reader, CommandRun& run,
           QObject* parent = nullptr);
    ~Replay() override;

    veltrano::Status Start();

private:
    void OnPace();
    // Up to `count` frames, with `onlyDue` only those due, in capture order.
    void SendFrames(std::uint64_t count, bool onlyDue);
    void OnBatch(std::size_t sender, std::span<const BatchUdpSocket::Received> batch,
                 const CommandRun::Arrival& arrival);
    void ExpireOld();
    void LogJudged(const veltrano::ReplayedFrames::Judged& judged);
    void CheckDone();
    void Finish(int exitCode);

    ReplayOptions m_options;
    std::unique_ptr<veltrano::CaptureReader> m_reader;
    veltrano::CapturedExchange m_exchange;
    CommandRun& m_run;
    SourceSockets m_sockets;
    veltrano::ReplayedFrames m_frames;
    veltrano::ReplayFeed m_feed;
    ReplayProgress m_progress;
    QTimer m_paceTimer;
    QTimer m_expiryTimer;
    std::vector<std::span<const std::uint8_t>> m_taken; // of one run
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
};
