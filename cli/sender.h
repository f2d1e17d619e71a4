#pragma once

#include "cli/capture.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/rtt_stats.h"
#include "net/batch_udp_socket.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;

// `send` and `hex`: frames one after the other to one destination; with --expect-ack each waits for its
// acknowledgement and is sent again up to --retries times before the next one goes.
class Sender final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Sender)

public:
    Sender(std::string command, std::vector<std::vector<std::uint8_t>> frames, const SenderOptions& options,
            Output& output, QObject* parent = nullptr);
    ~Sender() override;

    // Opens the socket and the capture; the reason when either cannot be opened (nothing was sent).
    std::optional<std::string> Start();
    // SIGINT or SIGTERM: the summary, then Finished(128 + signal).
    void Interrupt(int signal);

Q_SIGNALS:
    void Finished(int exitCode);

private:
    using Clock = std::chrono::steady_clock;

    void SendCurrent();
    void OnReadable();
    void OnTimeout();
    // On to the next frame, or the end.
    void Advance();
    void Finish(int exitCode);

    std::string m_command;
    std::vector<std::vector<std::uint8_t>> m_frames;
    SenderOptions m_options;
    Output& m_output;
    Capture m_capture;
    BatchUdpSocket m_socket{8};
    Destination m_local;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_nextTimer;
    QTimer m_timeoutTimer;
    QTimer m_flushTimer;
    std::size_t m_index{0};
    int m_attempts{0};
    bool m_waiting{false};
    Clock::time_point m_sentAt;
    bool m_finished{false};
    bool m_refusedTold{false};

    std::uint64_t m_sent{0};
    std::uint64_t m_acknowledged{0};
    std::uint64_t m_missing{0};
    std::uint64_t m_retries{0};
    std::uint64_t m_unexpected{0};
    std::uint64_t m_badAcks{0};
    std::uint64_t m_sendFailed{0};
    RttStats m_rtt;
};

// Whether the datagram acknowledges the frame: an acknowledgement (AckPairingKey) with a right checksum.
// One whose checksum is wrong is shown but not taken, as a panel would discard it.
enum class AckMatch : std::uint8_t
{
    Matches,
    BadChecksum, // would match but for its checksum
    Other,
};
AckMatch MatchAcknowledgement(std::uint64_t frameKey, std::span<const std::uint8_t> datagram);
