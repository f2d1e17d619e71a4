#pragma once

#include "cli/command.h"
#include "cli/command_run.h"
#include "cli/common_options.h"
#include "link/ack_tracker.h"
#include "link/pacer.h"
#include "sim/sweep_batches.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <optional>
#include <vector>

struct SweepOptions
{
    SenderOptions sender;
    std::uint64_t count{0}; // 0: until interrupted
    std::uint64_t startTick{1};
    PaceOptions pace{"1", 16};
    std::optional<double> rate{1.0}; // --rate read; none: as fast as the acknowledgements allow
};

// `sweep`: the automatic sweep's frames tick by tick, paced by elapsed time at --rate frames per second (the
// frames due at each timer wake-up go in one batch), or with --rate max at most --window outstanding and a
// new frame per acknowledgement. With --expect-ack every frame is tracked until acknowledged or --timeout
// old.
void AddSweepCommand(CLI::App& app, CommandRunner& chosen);

class Sweep final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Sweep)

public:
    Sweep(const SweepOptions& options, CommandRun& run, QObject* parent = nullptr);
    ~Sweep() override;

    veltrano::Status Start();

private:
    bool Tracking() const { return m_tracker.Pairing(); }
    bool AllSent() const { return m_batches.AllTaken(); }
    std::uint64_t Outstanding() const { return m_tracker.Waiting(); }
    void OnPace();
    // Up to `count` ticks' frames in one go.
    void SendFrames(std::uint64_t count);
    // The lines and capture records of what SendFrames last sent.
    void LogSent();
    // The frames the pacer lets go now, within --count, at most `most`.
    void Refill(std::uint64_t most = UINT64_MAX);
    void OnBatch(std::span<const BatchUdpSocket::Received> batch, const CommandRun::Arrival& arrival);
    void ExpireOld();
    void CheckDone();
    void Finish(int exitCode);
    void WriteSummary(veltrano::LineOutput& output, int exitCode) const;

    SweepOptions m_options;
    CommandRun& m_run;
    BatchUdpSocket* m_socket{nullptr};
    veltrano::Endpoint m_local;
    veltrano::SweepBatches m_batches;
    veltrano::AckTracker m_tracker;
    veltrano::Pacer m_pacer;
    QTimer m_paceTimer;
    QTimer m_expiryTimer;
    veltrano::MonoTime m_start;
    veltrano::MonoTime m_lastSend;

    std::size_t m_sentCount{0}; // of the batch, not yet logged
    std::int64_t m_sentUs{0};
    int m_sendError{0};                 // of the batch's frame m_sentCount
    std::vector<veltrano::FrameRecord> m_records; // of one received batch
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
};
