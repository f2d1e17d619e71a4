#pragma once

#include "capture/captured_exchange.h"
#include "capture/replayed_frames.h"
#include "cli/command.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/pacer.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct ReplayOptions
{
    std::string file;
    std::string toText;
    Endpoint to;
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

class Replay final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Replay)

public:
    Replay(const ReplayOptions& options, std::unique_ptr<CaptureReader> reader, CommandRun& run,
           QObject* parent = nullptr);
    ~Replay() override;

    Status Start();

private:
    // The socket that stands in for one captured source (or, past --sockets, several).
    struct SourceSocket
    {
        BatchUdpSocket* socket{nullptr};
        Endpoint local;
    };

    bool Paced() const { return !m_pacer.Windowed(); }
    void OnPace();
    // Up to `count` frames that are due, in capture order.
    void SendFrames(std::uint64_t count, bool onlyDue);
    // The next frames of one sender, due, at most `count`; its index when there are any.
    std::optional<std::size_t> TakeRun(std::uint64_t count, bool onlyDue, MonoTime now);
    Result<SourceSocket*> SenderOf(std::size_t index);
    void OnBatch(std::size_t sender, std::span<const BatchUdpSocket::Received> batch,
                 const CommandRun::Arrival& arrival);
    void ExpireOld();
    void LogJudged(const veltrano::ReplayedFrames::Judged& judged);
    void CheckDone();
    void Finish(int exitCode);
    void ShowProgress() const;

    ReplayOptions m_options;
    std::unique_ptr<CaptureReader> m_reader;
    CapturedExchange m_exchange;
    CommandRun& m_run;
    std::vector<SourceSocket> m_senders;
    veltrano::ReplayedFrames m_frames;
    veltrano::Pacer m_pacer;
    QTimer m_paceTimer;
    QTimer m_expiryTimer;
    QTimer m_progressTimer;
    std::optional<std::string> m_cut; // why the file ended early
    bool m_allRead{false};
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
    std::uint64_t m_total{0}; // frames in the file, when counted for the progress line
    std::int64_t m_lastTimeNs{0};
};
