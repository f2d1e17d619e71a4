#pragma once

#include "cli/capture.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/rtt_stats.h"
#include "net/batch_udp_socket.h"
#include "sim/sweep_walk.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class QSocketNotifier;

// `sweep`: the automatic sweep's frames tick by tick, paced by elapsed time at --rate frames per second (the
// frames due at each timer wake-up go in one batch), or with --rate max at most --window outstanding and a
// new frame per acknowledgement. With --expect-ack every frame is tracked until acknowledged or --timeout
// old.
class Sweep final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Sweep)

public:
    Sweep(const SweepOptions& options, Output& output, QObject* parent = nullptr);
    ~Sweep() override;

    std::optional<std::string> Start();
    void Interrupt(int signal);

Q_SIGNALS:
    void Finished(int exitCode);

private:
    using Clock = std::chrono::steady_clock;

    struct Pending
    {
        std::uint64_t sequence{0};
        std::uint64_t key{0};
        Clock::time_point sentAt;
        bool acknowledged{false};
    };

    bool Tracking() const { return m_options.sender.expectAck || !m_options.rate; }
    bool AllSent() const { return m_options.count != 0 && m_ticks >= m_options.count; }
    std::uint64_t Outstanding() const { return m_sent - m_acknowledged - m_lost; }
    void OnPace();
    // Up to `count` ticks' frames in one go; a frame the system refuses for want of buffer space waits for
    // the next call.
    void SendFrames(std::uint64_t count);
    // The lines and capture records of what SendFrames last sent.
    void LogSent();
    void Refill();
    void OnReadable();
    void TakeAcknowledgement(std::span<const std::uint8_t> datagram, std::optional<std::int64_t>& rtt,
                             std::string_view& note);
    void ExpireOld();
    void CheckDone();
    void Finish(int exitCode);

    SweepOptions m_options;
    Output& m_output;
    Capture m_capture;
    BatchUdpSocket m_socket{64};
    Destination m_local;
    std::unique_ptr<QSocketNotifier> m_notifier;
    SweepWalk m_walk;
    QTimer m_paceTimer;
    QTimer m_expiryTimer;
    QTimer m_flushTimer;
    Clock::time_point m_start;
    Clock::time_point m_lastSend;
    bool m_finished{false};

    struct Match
    {
        std::optional<std::int64_t> rtt;
        std::string_view note;
    };

    std::vector<SweepWalk::Frame> m_frames; // of one batch
    std::size_t m_sentCount{0};             // of m_frames, not yet logged
    std::int64_t m_sentUs{0};
    int m_sendError{0};           // of m_frames[m_sentCount]
    std::vector<Match> m_matches; // of one received batch
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
    std::deque<Pending> m_pending; // by sequence
    std::unordered_map<std::uint64_t, std::deque<std::uint64_t>> m_byKey;

    std::uint64_t m_ticks{0}; // frames taken from the walk: sent, or refused for good
    std::uint64_t m_sent{0};
    std::uint64_t m_nextSequence{0};
    std::uint64_t m_received{0};
    std::uint64_t m_acknowledged{0};
    std::uint64_t m_lost{0};
    std::uint64_t m_duplicated{0};
    std::uint64_t m_badAcks{0};
    std::uint64_t m_unexpected{0};
    std::uint64_t m_sendFailed{0};
    RttStats m_rtt;
};
