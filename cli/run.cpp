#include "cli/run.h"

#include "cli/signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>

namespace {

// Lines of a slow run reach a pipe or a file within a moment, not only at the end.
constexpr int FLUSH_PERIOD_MS = 200;

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

struct Run::Watched
{
    std::unique_ptr<BatchUdpSocket> socket;
    std::unique_ptr<QSocketNotifier> notifier;
    Readable readable;
};

Run::Run(std::string command, const OutputOptions& output, QObject* parent)
    : QObject(parent), m_command(std::move(command)), m_pcapPath(output.pcapPath), m_output(output.jsonl)
{
    connect(&m_flushTimer, &QTimer::timeout, this, [this] { m_output.Flush(); });
}

Run::~Run() = default;

Result<BatchUdpSocket*> Run::OpenSocket(const BatchUdpSocket::Options& options, Readable readable,
                                        std::size_t batch)
{
    auto watched = std::make_unique<Watched>();
    watched->socket = std::make_unique<BatchUdpSocket>(batch);
    if (auto opened = watched->socket->Open(options); !opened)
        return Failure(opened.error());
    watched->readable = std::move(readable);
    watched->notifier = std::make_unique<QSocketNotifier>(watched->socket->Handle(), QSocketNotifier::Read);
    Watched* raw = watched.get();
    connect(raw->notifier.get(), &QSocketNotifier::activated, this, [raw] { raw->readable(*raw->socket); });
    m_sockets.push_back(std::move(watched));
    return raw->socket.get();
}

void Run::StopReading()
{
    for (auto& watched : m_sockets)
        watched->notifier.reset();
}

void Run::Log(const FrameRecord& record)
{
    m_output.Record(record);
    // A datagram that never left is not on the wire.
    if (m_capture.IsOpen() && record.sendError == 0 && m_captureStatus)
        m_captureStatus = m_capture.Write(CapturedOf(record));
}

int Run::Exec(const std::function<Status()>& start)
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

void Run::Finish(int exitCode)
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
    m_exitCode = exitCode;
    if (m_summary)
        m_summary(m_output, exitCode);
    m_output.Flush();
    QCoreApplication::exit(exitCode);
}
