#include "cli/command_run.h"

#include "cli/signals.h"
#include "net/udp_endpoint.h"
#include "verdict/junit.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <unistd.h>

#include <csignal>
#include <cstdio>

using namespace veltrano;

// A socket of a run, the notifier that watches it and how its batches are read.
struct WatchedSocket
{
    std::unique_ptr<BatchUdpSocket> socket;
    std::unique_ptr<QSocketNotifier> notifier;
    CommandRun::OnBatch batch;
    CommandRun::Reading reading;
    bool open{true};
};

namespace {

// Lines of a slow run reach a pipe or a file within a moment, not only at the end.
constexpr int FLUSH_PERIOD_MS = 200;
constexpr int PROGRESS_PERIOD_MS = 1000;
// Batches read per notification before other events (timers, the other sockets) get their turn.
constexpr int BATCHES_PER_WAKE = 16;

// Up to BATCHES_PER_WAKE batches to `watched.batch` while it is open and the run goes on, fewer when one
// comes short of a full batch (unless lingering).
void ReceiveBatches(WatchedSocket& watched, const bool& finished)
{
    BatchUdpSocket& socket = *watched.socket;
    for (int round = 0; round < BATCHES_PER_WAKE && watched.open && !finished; ++round) {
        const auto batch = round > 0 && watched.reading.linger ? socket.ReceiveLingering() : socket.Receive();
        if (!batch) {
            if (watched.reading.error)
                watched.reading.error(batch.error());
            break;
        }
        if (batch->empty())
            break;
        watched.batch(*batch, {WallClockUs(), MonoClock::now()});
        // A short batch emptied the queue: asking again would only cost a call that finds nothing.
        if (!watched.reading.linger && batch->size() < socket.BatchSize())
            break;
    }
}

// Each file written in turn; one that cannot be written is named on stderr and makes the status EXIT_IO.
int WriteEndFiles(std::span<const EndFile> files, int exitCode)
{
    for (const auto& [path, write] : files) {
        if (auto written = write(path); !written) {
            PrintError(written.error());
            exitCode = EXIT_IO;
        }
    }
    return exitCode;
}

} // namespace

void PrintError(std::string_view reason)
{
    std::fprintf(stderr, "veltrano-cli: %.*s\n", static_cast<int>(reason.size()), reason.data());
}

int UsageError(std::string_view reason)
{
    PrintError(reason);
    return EXIT_USAGE;
}

CommandRun::CommandRun(std::string command, const OutputOptions& output)
    : m_command(std::move(command)), m_pcapPath(output.pcapPath), m_output(output.format)
{
    OnTimeout(m_flushTimer, [this] { m_output.Flush(); });
}

CommandRun::~CommandRun() = default;

Result<BatchUdpSocket*> CommandRun::OpenSocket(const BatchUdpSocket::Options& options, OnBatch batch,
                                               Reading reading, std::size_t batchSize)
{
    auto watched = std::make_unique<WatchedSocket>();
    watched->socket = std::make_unique<BatchUdpSocket>(batchSize);
    if (auto opened = watched->socket->Open(options); !opened)
        return Failure(opened.error());
    watched->batch = std::move(batch);
    watched->reading = std::move(reading);
    watched->notifier = std::make_unique<QSocketNotifier>(watched->socket->Handle(), QSocketNotifier::Read);
    WatchedSocket* raw = watched.get();
    QObject::connect(raw->notifier.get(), &QSocketNotifier::activated, raw->notifier.get(), [this, raw] {
        if (raw->open)
            Drain(*raw);
    });
    m_sockets.push_back(std::move(watched));
    return raw->socket.get();
}

void CommandRun::OnJunit(std::string path, std::function<Status(const std::string&)> write)
{
    if (!path.empty())
        m_endFiles.emplace(m_endFiles.begin(), std::move(path), std::move(write));
}

void CommandRun::OnEndFile(std::string path, std::function<Status(const std::string&)> write)
{
    if (!path.empty())
        m_endFiles.emplace_back(std::move(path), std::move(write));
}

void CommandRun::Drain(WatchedSocket& watched)
{
    ReceiveBatches(watched, m_finished);
    if (m_finished)
        return;
    if (watched.reading.afterBatches)
        watched.reading.afterBatches();
    m_output.EndOfBatch();
}

void CommandRun::StopReading()
{
    for (auto& watched : m_sockets) {
        watched->open = false;
        if (watched->notifier)
            watched->notifier->setEnabled(false);
    }
}

void CommandRun::Log(const FrameRecord& record)
{
    m_output.Record(record);
    Capture(record);
}

void CommandRun::Capture(const FrameRecord& record)
{
    // A datagram that never left is not on the wire.
    if (m_capture.IsOpen() && record.sendError == 0 && m_captureStatus)
        m_captureStatus = m_capture.Write(CapturedOf(record));
}

bool CommandRun::ShowProgress(std::function<std::string()> line)
{
    if (::isatty(STDERR_FILENO) != 1)
        return false;
    OnTimeout(m_progressTimer, [line = std::move(line)] { std::fputs(line().c_str(), stderr); });
    m_progressTimer.start(PROGRESS_PERIOD_MS);
    return true;
}

int CommandRun::Exec(const std::function<Status()>& start)
{
    m_signals = std::make_unique<SignalWatcher>([this](int signal) {
        if (signal == SIGHUP && m_hangup)
            m_hangup();
        else if (m_interrupt)
            m_interrupt(signal);
        else
            Finish(128 + signal);
    });
    if (!m_signals->Install(static_cast<bool>(m_hangup)))
        PrintError("cannot watch for signals");
    if (!m_pcapPath.empty()) {
        if (auto opened = m_capture.Open(m_pcapPath); !opened) {
            PrintError(opened.error());
            return EXIT_IO;
        }
    }
    if (auto started = start(); !started) {
        PrintError(started.error());
        return EXIT_IO;
    }
    m_flushTimer.start(FLUSH_PERIOD_MS);
    // A run that is over before the loop starts needs no loop.
    if (m_finished)
        return m_exitCode;
    return QCoreApplication::exec();
}

void CommandRun::Finish(int exitCode)
{
    if (m_finished)
        return;
    m_finished = true;
    StopReading();
    m_flushTimer.stop();
    m_progressTimer.stop();
    if (auto closed = m_capture.Close(); !closed || !m_captureStatus) {
        PrintError(!m_captureStatus ? m_captureStatus.error() : closed.error());
        if (exitCode == EXIT_OK)
            exitCode = EXIT_IO;
    }
    exitCode = WriteEndFiles(m_endFiles, exitCode);
    m_exitCode = exitCode;
    if (m_summary)
        m_summary(m_output, exitCode);
    m_output.Flush();
    QCoreApplication::exit(exitCode);
}

void EndWithVerdicts(CommandRun& run, const veltrano::VerdictReport& report, std::string junit)
{
    run.OnJunit(std::move(junit), [&report](const std::string& path) { return report.WriteJunit(path); });
    run.OnSummary([&run, &report](LineOutput& output, int exitCode) {
        output.Summary(run.Command(), VerdictSummary(report, exitCode));
    });
}
