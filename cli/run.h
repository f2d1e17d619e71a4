#pragma once

#include "link/line_output.h"
#include "net/batch_udp_socket.h"
#include "protocol/pcap_writer.h"
#include "protocol/result.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
class SignalWatcher;

// Exit statuses of every command.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_EXPECTATION_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_SOCKET = 3;
inline constexpr int EXIT_INTERRUPTED = 130; // 128 + SIGINT

// "veltrano-cli: <reason>" on stderr, in one line: every command's error message goes through here.
void PrintError(std::string_view reason);
// PrintError, then EXIT_USAGE.
int UsageError(std::string_view reason);

struct OutputOptions
{
    bool jsonl{false};
    std::string pcapPath;
};

// One run of a command on the network, from start to exit code, the same for every command: its sockets
// (each watched by a notifier), the capture, standard output with its flush timer, SIGINT and SIGTERM, the
// summary and the exit status. A command composes one and fills in what is its own.
class Run final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Run)

public:
    // Called when a socket can be read: drain it with BatchUdpSocket::Receive.
    using Readable = std::function<void(BatchUdpSocket&)>;

    Run(std::string command, const OutputOptions& output, QObject* parent = nullptr);
    ~Run() override;

    const std::string& Command() const { return m_command; }
    LineOutput& Output() { return m_output; }

    // A socket of this run; `readable` runs on each notification. The reason when it cannot be opened.
    Result<BatchUdpSocket*> OpenSocket(const BatchUdpSocket::Options& options, Readable readable,
                                       std::size_t batch = 64);
    // Stops watching every socket: nothing more is read.
    void StopReading();

    // The record on standard output and in the capture.
    void Log(const FrameRecord& record);
    // Lines of a batch are out: written at once on a terminal.
    void EndOfBatch() { m_output.EndOfBatch(); }

    // What a signal does; without one, the run finishes with 128 + the signal after its summary.
    void OnInterrupt(std::function<void(int signal)> interrupt) { m_interrupt = std::move(interrupt); }
    // Writes the command's summary with the run's exit status; called once, by Finish.
    void OnSummary(std::function<void(LineOutput&, int exitCode)> summary) { m_summary = std::move(summary); }

    // Opens the capture, runs `start` and the event loop until Finish; the exit status. A capture or
    // `start` that fails ends the run at once with EXIT_SOCKET and the reason on stderr.
    int Exec(const std::function<Status()>& start);
    // Stops reading, closes the capture (a capture that failed turns an EXIT_OK into EXIT_SOCKET), writes the
    // summary and ends the loop. Only the first call counts.
    void Finish(int exitCode);
    bool Finished() const { return m_finished; }

private:
    struct Watched;

    std::string m_command;
    std::string m_pcapPath;
    LineOutput m_output;
    PcapFileWriter m_capture;
    Status m_captureStatus;
    std::vector<std::unique_ptr<Watched>> m_sockets;
    std::unique_ptr<SignalWatcher> m_signals;
    QTimer m_flushTimer;
    std::function<void(int)> m_interrupt;
    std::function<void(LineOutput&, int)> m_summary;
    bool m_finished{false};
    int m_exitCode{EXIT_OK};
};
