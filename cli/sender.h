#pragma once

#include "cli/command.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/stop_and_wait.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
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
    void Finish();

    SenderOptions m_options;
    veltrano::StopAndWait m_frames;
    CommandRun& m_run;
    BatchUdpSocket* m_socket{nullptr};
    veltrano::Endpoint m_local;
    QTimer m_nextTimer;
    QTimer m_timeoutTimer;
    bool m_refusedTold{false};
};
