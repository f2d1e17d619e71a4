#pragma once

#include "capture/captured_exchange.h"
#include "capture/frame_verdict.h"
#include "cli/command.h"
#include "cli/common_options.h"
#include "cli/run.h"
#include "link/ack_matcher.h"
#include "link/round_trips.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct ReplayOptions
{
    std::string file;
    SenderOptions sender;    // --to, --timeout, --rcvbuf and the output
    double speed{1.0};       // of the captured gaps
    std::optional<double> rate; // frames per second instead of the captured gaps
    bool rateMax{false};        // as fast as the answers allow, at most `window` outstanding
    int window{16};
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
    Replay(const ReplayOptions& options, std::unique_ptr<CaptureReader> reader, Run& run,
           QObject* parent = nullptr);
    ~Replay() override;

    Status Start();

private:
    struct Sender
    {
        BatchUdpSocket* socket{nullptr};
        Endpoint local;
        std::unique_ptr<AckMatcher> matcher;
    };

    // A frame sent, until its verdict.
    struct Pending
    {
        CapturedFrame frame;
        AckMatcher::Ticket ticket{0};
        MonoTime sentAt;
        std::int64_t sentUs{0};
        int sendError{0};
        bool done{false};
    };

    // What JUnit shows of one captured source.
    struct SourceTally
    {
        std::uint64_t frames{0};
        std::uint64_t failed{0};
        std::string details; // a line per failing frame, up to a bound
        MonoTime first;
        MonoTime last;
    };

    bool Paced() const { return !m_options.rateMax; }
    std::uint64_t Outstanding() const { return m_sent - m_judged; }
    void OnPace();
    // Up to `count` frames that are due, in capture order.
    void SendFrames(std::uint64_t count, bool onlyDue);
    Result<Sender*> SenderOf(std::size_t index);
    void OnReadable(std::size_t sender, BatchUdpSocket& socket);
    void ExpireOld();
    // The frame's verdict from its live answer, if any, its line and its source's tally.
    void Conclude(std::uint64_t id, std::optional<std::span<const std::uint8_t>> live,
                  std::optional<std::int64_t> rtt);
    void CheckDone();
    void Finish(int exitCode);
    void ShowProgress() const;
    void WriteSummary(LineOutput& output, int exitCode);
    Status WriteJunit() const;

    ReplayOptions m_options;
    std::unique_ptr<CaptureReader> m_reader;
    CapturedExchange m_exchange;
    Run& m_run;
    std::vector<Sender> m_senders;
    QTimer m_paceTimer;
    QTimer m_expiryTimer;
    QTimer m_progressTimer;
    MonoTime m_start;
    std::optional<std::int64_t> m_firstTimeNs; // the capture's clock at its first frame
    std::optional<std::string> m_cut;          // why the file ended early
    bool m_allRead{false};

    std::deque<Pending> m_pending; // by id, in the order sent
    std::uint64_t m_firstPending{0};
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
    std::vector<std::uint64_t> m_outgoingIds;
    std::map<Endpoint, SourceTally> m_sources;

    std::uint64_t m_total{0}; // frames in the file, when counted for the progress line
    std::int64_t m_lastTimeNs{0};
    std::int64_t m_sentTimeNs{0}; // the capture's clock at the last frame sent
    std::uint64_t m_sent{0};
    std::uint64_t m_sendFailed{0};
    std::uint64_t m_judged{0};
    std::uint64_t m_answered{0};
    std::array<std::uint64_t, FRAME_VERDICT_COUNT> m_verdicts{};
    std::uint64_t m_received{0};
    std::uint64_t m_unexpected{0};
    RoundTrips m_rtt;
    std::string m_hexCaptured; // of the record being logged
    std::string m_hexLive;
};
