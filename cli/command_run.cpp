#include "cli/command_run.h"

#include "cli/signals.h"
#include "net/udp_endpoint.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>

using namespace veltrano;

namespace {

// Lines of a slow run reach a pipe or a file within a moment, not only at the end.
constexpr int FLUSH_PERIOD_MS = 200;
// Batches read per notification before other events (timers, the other sockets) get their turn.
constexpr int BATCHES_PER_WAKE = 16;

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

struct CommandRun::Watched
{
    std::unique_ptr<BatchUdpSocket> socket;
    std::unique_ptr<QSocketNotifier> notifier;
    Readable readable;
    OnBatch batch;
    Reading reading;
    bool open{true};
};

CommandRun::CommandRun(std::string command, const OutputOptions& output, QObject* parent)
    : QObject(parent), m_command(std::move(command)), m_pcapPath(output.pcapPath), m_output(output.format)
{
    connect(&m_flushTimer, &QTimer::timeout, this, [this] { m_output.Flush(); });
}

CommandRun::~CommandRun() = default;

Result<BatchUdpSocket*> CommandRun::OpenSocket(const BatchUdpSocket::Options& options, Readable readable,
                                               std::size_t batch)
{
    auto watched = std::make_unique<Watched>();
    watched->socket = std::make_unique<BatchUdpSocket>(batch);
    if (auto opened = watched->socket->Open(options); !opened)
        return Failure(opened.error());
    watched->readable = std::move(readable);
    watched->notifier = std::make_unique<QSocketNotifier>(watched->socket->Handle(), QSocketNotifier::Read);
    Watched* raw = watched.get();
    connect(raw->notifier.get(), &QSocketNotifier::activated, this, [raw] {
        if (raw->open)
            raw->readable(*raw->socket);
    });
    m_sockets.push_back(std::move(watched));
    return raw->socket.get();
}

void CommandRun::OnJunit(std::string path, std::function<Status(const std::string&)> write)
{
    m_junitPath = std::move(path);
    m_junit = std::move(write);
}

void CommandRun::OnEndFile(std::string path, std::function<Status(const std::string&)> write)
{
    m_endFiles.emplace_back(std::move(path), std::move(write));
}

Result<BatchUdpSocket*> CommandRun::OpenSocket(const BatchUdpSocket::Options& options, OnBatch batch,
                                               Reading reading, std::size_t batchSize)
{
    auto socket = OpenSocket(options, Readable{}, batchSize);
    if (!socket)
        return socket;
    Watched& watched = *m_sockets.back();
    watched.batch = std::move(batch);
    watched.reading = std::move(reading);
    watched.readable = [this, raw = &watched](BatchUdpSocket&) { Drain(*raw); };
    return socket;
}

void CommandRun::Drain(Watched& watched)
{
    BatchUdpSocket& socket = *watched.socket;
    for (int round = 0; round < BATCHES_PER_WAKE && watched.open && !m_finished; ++round) {
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

std::size_t CommandRun::SendEach(BatchUdpSocket& socket, std::span<const BatchUdpSocket::Outgoing> datagrams,
                                 const OnSent& sent)
{
    std::size_t went = 0;
    std::size_t next = 0;
    while (next < datagrams.size()) {
        const auto outcome = socket.Send(datagrams.subspan(next));
        for (std::size_t i = 0; i < outcome.sent; ++i)
            sent(next + i, 0);
        went += outcome.sent;
        next += outcome.sent;
        if (outcome.error == 0)
            break;
        // Refused (a full buffer, an ICMP error the socket reports): shown, and the rest still go.
        sent(next, outcome.error);
        ++next;
    }
    return went;
}

void CommandRun::Log(const FrameRecord& record)
{
    m_output.Record(record);
    // A datagram that never left is not on the wire.
    if (m_capture.IsOpen() && record.sendError == 0 && m_captureStatus)
        m_captureStatus = m_capture.Write(CapturedOf(record));
}

int CommandRun::Exec(const std::function<Status()>& start)
{
    m_signals = std::make_unique<SignalWatcher>();
    if (!m_signals->Install())
        PrintError("cannot watch for signals");
    connect(m_signals.get(), &SignalWatcher::Received, this, [this](int signal) {
        if (m_interrupt)
            m_interrupt(signal);
        else
            Finish(128 + signal);
    });
    if (!m_pcapPath.empty()) {
        if (auto opened = m_capture.Open(m_pcapPath); !opened) {
            PrintError(opened.error());
            return EXIT_SOCKET;
        }
    }
    if (auto started = start(); !started) {
        PrintError(started.error());
        return EXIT_SOCKET;
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
    if (auto closed = m_capture.Close(); !closed || !m_captureStatus) {
        PrintError(!m_captureStatus ? m_captureStatus.error() : closed.error());
        if (exitCode == EXIT_OK)
            exitCode = EXIT_SOCKET;
    }
    if (!m_junitPath.empty() && m_junit) {
        if (auto written = m_junit(m_junitPath); !written) {
            PrintError(written.error());
            exitCode = EXIT_SOCKET;
        }
    }
    for (const auto& [path, write] : m_endFiles) {
        if (auto written = write(path); !written) {
            PrintError(written.error());
            exitCode = EXIT_SOCKET;
        }
    }
    m_exitCode = exitCode;
    if (m_summary)
        m_summary(m_output, exitCode);
    m_output.Flush();
    QCoreApplication::exit(exitCode);
}
