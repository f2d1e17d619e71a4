#pragma once

#include "cli/command.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/ack_matcher.h"
#include "link/round_trips.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <string>
#include <vector>

// `send` and `hex`: frames one after the other to one destination; with --expect-ack each waits for its
// acknowledgement and is sent again up to --retries times before the next one goes.
void AddSendCommand(CLI::App& app, CommandRunner& chosen);
void AddHexCommand(CLI::App& app, CommandRunner& chosen);

class FrameSender final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FrameSender)

public:
    FrameSender(std::vector<std::vector<std::uint8_t>> frames, const SenderOptions& options, CommandRun& run,
                QObject* parent = nullptr);
    ~FrameSender() override;

    // Opens the socket; the reason when it cannot be opened (nothing was sent).
    veltrano::Status Start();

private:
    void SendCurrent();
    void OnBatch(std::span<const BatchUdpSocket::Received> batch, const CommandRun::Arrival& arrival);
    void OnTimeout();
    // On to the next frame, or the end.
    void Advance();
    void WriteSummary(veltrano::LineOutput& output, int exitCode) const;

    std::vector<std::vector<std::uint8_t>> m_frames;
    SenderOptions m_options;
    CommandRun& m_run;
    BatchUdpSocket* m_socket{nullptr};
    veltrano::Endpoint m_local;
    veltrano::AckMatcher m_matcher{{64, {}}};
    veltrano::AckMatcher::Ticket m_ticket{0};
    QTimer m_nextTimer;
    QTimer m_timeoutTimer;
    std::size_t m_index{0};
    int m_attempts{0};
    bool m_waiting{false};
    bool m_refusedTold{false};

    std::uint64_t m_sent{0};
    std::uint64_t m_acknowledged{0};
    std::uint64_t m_missing{0};
    std::uint64_t m_retries{0};
    std::uint64_t m_unexpected{0};
    std::uint64_t m_badAcks{0};
    std::uint64_t m_sendFailed{0};
    veltrano::RoundTrips m_rtt;
};
