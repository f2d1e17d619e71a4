#pragma once

#include "capture/captured_exchange.h"
#include "capture/frame_verdict.h"
#include "capture/source_tally.h"
#include "cli/command.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/ack_matcher.h"
#include "link/pacer.h"
#include "link/round_trips.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using veltrano::FrameVerdict;

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
    // The socket that stands in for one captured source (or, past --sockets, several).
    struct SourceSocket
    {
        BatchUdpSocket* socket{nullptr};
        veltrano::Endpoint local;
        std::unique_ptr<veltrano::AckMatcher> matcher;
    };

    // A frame sent, until its verdict.
    struct Pending
    {
        veltrano::CapturedFrame frame;
        veltrano::AckMatcher::Ticket ticket{0};
        veltrano::MonoTime sentAt;
        std::int64_t sentUs{0};
        int sendError{0};
        bool done{false};
    };

    bool Paced() const { return !m_pacer.Windowed(); }
    std::uint64_t Outstanding() const { return m_sent - m_judged; }
    void OnPace();
    // Up to `count` frames that are due, in capture order.
    void SendFrames(std::uint64_t count, bool onlyDue);
    veltrano::Result<SourceSocket*> SenderOf(std::size_t index);
    void OnBatch(std::size_t sender, std::span<const BatchUdpSocket::Received> batch,
                 const CommandRun::Arrival& arrival);
    void ExpireOld();
    // The frame's verdict from its live answer, if any, its line and its source's tally.
    void Conclude(std::uint64_t id, std::optional<std::span<const std::uint8_t>> live,
                  std::optional<std::int64_t> rtt);
    void CheckDone();
    void Finish(int exitCode);
    void ShowProgress() const;
    void WriteSummary(veltrano::LineOutput& output, int exitCode);
    veltrano::Status WriteJunit(const std::string& path) const;

    ReplayOptions m_options;
    std::unique_ptr<veltrano::CaptureReader> m_reader;
    veltrano::CapturedExchange m_exchange;
    CommandRun& m_run;
    std::vector<SourceSocket> m_senders;
    veltrano::Pacer m_pacer;
    QTimer m_paceTimer;
    QTimer m_expiryTimer;
    QTimer m_progressTimer;
    std::optional<std::string> m_cut; // why the file ended early
    bool m_allRead{false};

    std::deque<Pending> m_pending; // by id, in the order sent
    std::uint64_t m_firstPending{0};
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
    std::vector<std::uint64_t> m_outgoingIds;
    veltrano::SourceTally m_tally;

    std::uint64_t m_total{0}; // frames in the file, when counted for the progress line
    std::int64_t m_lastTimeNs{0};
    std::int64_t m_sentTimeNs{0}; // the capture's clock at the last frame sent
    std::uint64_t m_sent{0};
    std::uint64_t m_sendFailed{0};
    std::uint64_t m_judged{0};
    std::uint64_t m_answered{0};
    std::array<std::uint64_t, veltrano::FRAME_VERDICT_COUNT> m_verdicts{};
    std::uint64_t m_received{0};
    std::uint64_t m_unexpected{0};
    veltrano::RoundTrips m_rtt;
    std::string m_hexCaptured; // of the record being logged
    std::string m_hexLive;
};
