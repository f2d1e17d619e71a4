#pragma once

#include "cli/centre_watch.h"
#include "cli/command.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/centre_answers.h"
#include "net/batch_udp_socket.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CentreOptions
{
    std::uint16_t port{0};
    std::string bind{"0.0.0.0"};
    std::uint64_t count{0}; // 0: no limit
    double durationS{0};    // 0: no limit
    bool noAck{false};
    double dropPercent{0};
    int delayMs{0};
    double dupPercent{0};
    double badChecksumPercent{0};
    std::optional<std::uint64_t> seed;
    int receiveBuffer{DEFAULT_RECEIVE_BUFFER};
    OutputOptions output;
    CentreWatchOptions watch;
};

// `centre`: answers every datagram as the window's centre does (AcknowledgementFor), a batch of datagrams per
// notification, with optional faults for testing a panel's retries, until a count, a time or a signal ends
// it.
void AddCentreCommand(CLI::App& app, CommandRunner& chosen);

// The centre's socket and timers around veltrano::AnswerPolicy and veltrano::CentreAnswers.
class Centre final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Centre)

public:
    Centre(const CentreOptions& options, std::uint32_t bindAddress, CommandRun& run,
           QObject* parent = nullptr);

    // Opens the socket; the reason when it cannot be opened (nothing was received).
    veltrano::Status Start();

private:
    void OnBatch(std::span<const BatchUdpSocket::Received> batch, std::int64_t nowUs);
    void Handle(const BatchUdpSocket::Received& datagram, std::int64_t nowUs);
    void SendAnswers();
    void OnDelayDue();
    // Also ends the run when nothing is held back and no more datagrams are taken.
    void ArmDelayTimer();
    // No more datagrams are taken; ArmDelayTimer then ends the run once the held-back answers are out.
    void StopReceiving();
    void WriteSummary(veltrano::LineOutput& output) const;

    CentreOptions m_options;
    std::uint32_t m_bindAddress{0};
    CommandRun& m_run;
    BatchUdpSocket* m_socket{nullptr};
    veltrano::Endpoint m_local;
    std::uint64_t m_seed{0};
    veltrano::AnswerPolicy m_policy{std::vector<std::uint32_t>{}};
    veltrano::CentreAnswers m_answers;
    veltrano::CentreCounts m_counts;
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
    QTimer m_delayTimer;
    QTimer m_durationTimer;
    bool m_receiving{false};
    CentreWatch m_watch;
};
