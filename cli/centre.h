#pragma once

#include "cli/capture.h"
#include "cli/options.h"
#include "cli/output.h"
#include "net/batch_udp_socket.h"
#include "protocol/acknowledgement.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

class QSocketNotifier;

// `centre`: answers every datagram as the window's centre does (AcknowledgementFor), a batch of datagrams per
// notification, with optional faults for testing a panel's retries, until a count, a time or a signal ends
// it.
class Centre final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Centre)

public:
    // `bindAddress` in network byte order.
    Centre(const CentreOptions& options, std::uint32_t bindAddress, Output& output,
            QObject* parent = nullptr);
    ~Centre() override;

    // Opens the socket and the capture; the reason when either cannot be opened (nothing was received).
    std::optional<std::string> Start();
    // SIGINT or SIGTERM: the summary, then Finished(0); answers still held back by --delay are not sent.
    void Interrupt(int signal);

Q_SIGNALS:
    void Finished(int exitCode);

private:
    using Clock = std::chrono::steady_clock;

    // Bits of Answer::faults.
    static constexpr std::uint8_t DELAYED = 1;
    static constexpr std::uint8_t DUPLICATE = 2;
    static constexpr std::uint8_t SPOILT = 4;

    struct Answer
    {
        AckFrame ack{};
        Destination to;
        std::uint32_t source{0};
        std::uint8_t faults{0};
        Clock::time_point due;
    };

    struct Counts
    {
        std::uint64_t received{0};
        std::uint64_t acknowledged{0};
        std::uint64_t acksSent{0};
        std::uint64_t emptyDatagrams{0};
        std::uint64_t oversize{0};
        std::uint64_t acknowledgements{0};
        std::uint64_t noAckOption{0};
        std::uint64_t refusedSender{0};
        std::uint64_t malformed{0};
        std::uint64_t dropped{0};
        std::uint64_t delayed{0};
        std::uint64_t duplicated{0};
        std::uint64_t badChecksum{0};
        std::uint64_t sendFailed{0};
    };

    void OnReadable();
    void Handle(const BatchUdpSocket::Received& datagram, std::int64_t nowUs);
    bool Chance(double percent);
    void SendAnswers(std::vector<Answer>& answers);
    void OnDelayDue();
    // Also ends the run when nothing is held back and no more datagrams are taken.
    void ArmDelayTimer();
    // No more datagrams are taken; ArmDelayTimer then ends the run once the held-back answers are out.
    void StopReceiving();
    void Finish();

    CentreOptions m_options;
    std::uint32_t m_bindAddress{0};
    Output& m_output;
    Capture m_capture;
    BatchUdpSocket m_socket;
    Destination m_local;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::vector<std::uint32_t> m_broadcasts;
    std::uint64_t m_seed{0};
    std::mt19937_64 m_random;
    std::vector<Answer> m_answers;
    std::deque<Answer> m_held;
    QTimer m_delayTimer;
    QTimer m_durationTimer;
    QTimer m_flushTimer;
    bool m_receiving{false};
    bool m_finished{false};
    Counts m_counts;
};
