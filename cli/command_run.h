#pragma once

#include "link/ack_matcher.h"
#include "link/line_output.h"
#include "net/batch_udp_socket.h"
#include "protocol/pcap_writer.h"
#include "protocol/result.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QSocketNotifier;
class SignalWatcher;
struct WatchedSocket;
namespace veltrano {
class VerdictReport;
}

// Exit statuses of every command.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_EXPECTATION_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_IO = 3;            // a socket, or a file to read or write
inline constexpr int EXIT_INTERRUPTED = 130; // 128 + SIGINT

// "veltrano-cli: <reason>" on stderr, in one line: every command's error message goes through here.
void PrintError(std::string_view reason);
// PrintError, then EXIT_USAGE.
int UsageError(std::string_view reason);

struct OutputOptions
{
    veltrano::OutputFormat format{veltrano::OutputFormat::Text};
    std::string pcapPath;
};

// A file written as a run ends, by the function given its path.
using EndFile = std::pair<std::string, std::function<veltrano::Status(const std::string& path)>>;

// One run of a command on the network, from start to exit code, the same for every command: its sockets
// (each watched by a notifier), the capture, standard output with its flush timer, SIGINT and SIGTERM, the
// summary and the exit status. A command composes one and fills in what is its own.
class CommandRun final
{
public:
    // When a batch was taken from the socket.
    struct Arrival
    {
        std::int64_t wallUs{0};
        veltrano::MonoTime now;
    };
    // A batch of datagrams received.
    using OnBatch = std::function<void(std::span<const BatchUdpSocket::Received>, const Arrival&)>;
    struct Reading
    {
        // After an answered batch the next is often microseconds away: waiting for it spares a wake-up.
        bool linger{false};
        // A receive error (a connected socket hears of a closed port this way); the wake-up ends.
        std::function<void(const std::string& reason)> error{};
        // Once per wake-up, after its batches, before the lines go out.
        std::function<void()> afterBatches{};
    };
    CommandRun(std::string command, const OutputOptions& output);
    ~CommandRun();

    const std::string& Command() const { return m_command; }
    veltrano::LineOutput& Output() { return m_output; }

    // A socket of this run read by the run itself: on each notification up to BATCHES_PER_WAKE batches go to
    // `batch`, fewer when one comes short of a full batch (unless lingering) or the run ends. The reason when
    // it cannot be opened.
    [[nodiscard]] veltrano::Result<BatchUdpSocket*> OpenSocket(const BatchUdpSocket::Options& options,
                                                               OnBatch batch, Reading reading,
                                                               std::size_t batchSize = 64);
    // Stops watching every socket: nothing more is read.
    void StopReading();

    // The record on standard output and in the capture.
    void Log(const veltrano::FrameRecord& record);
    // The record in the capture alone: a datagram's other leg, which its line already tells.
    void Capture(const veltrano::FrameRecord& record);
    bool Capturing() const { return m_capture.IsOpen(); }
    // Lines of a batch are out: written at once on a terminal.
    void EndOfBatch() { m_output.EndOfBatch(); }

    // What a signal does; without one, the run finishes with 128 + the signal after its summary.
    void OnInterrupt(std::function<void(int signal)> interrupt) { m_interrupt = std::move(interrupt); }
    // What SIGHUP does; without one it is not watched.
    void OnHangup(std::function<void()> hangup) { m_hangup = std::move(hangup); }
    // Writes the command's summary with the run's exit status; called once, by Finish.
    void OnSummary(std::function<void(veltrano::LineOutput&, int exitCode)> summary)
    {
        m_summary = std::move(summary);
    }
    // The verdicts written as JUnit XML to `path` (nothing when empty) as the run ends, before the summary.
    // A file that cannot be written turns the exit status into EXIT_IO, the file named on stderr.
    void OnJunit(std::string path, std::function<veltrano::Status(const std::string& path)> write);
    // Another file written as the run ends (nothing when `path` is empty), after the JUnit file and by the
    // same rule.
    void OnEndFile(std::string path, std::function<veltrano::Status(const std::string& path)> write);

    // `line` on standard error once a second until the run finishes, when standard error is a terminal;
    // whether it is.
    bool ShowProgress(std::function<std::string()> line);

    // Opens the capture, runs `start` and the event loop until Finish; the exit status. A capture or
    // `start` that fails ends the run at once with EXIT_IO and the reason on stderr.
    int Exec(const std::function<veltrano::Status()>& start);
    // Stops reading, closes the capture (a capture that failed turns an EXIT_OK into EXIT_IO), writes the
    // summary and ends the loop. Only the first call counts.
    void Finish(int exitCode);
    bool Finished() const { return m_finished; }

private:
    void Drain(WatchedSocket& watched);

    std::string m_command;
    std::string m_pcapPath;
    veltrano::LineOutput m_output;
    veltrano::PcapFileWriter m_capture;
    veltrano::Status m_captureStatus;
    std::vector<std::unique_ptr<WatchedSocket>> m_sockets;
    std::unique_ptr<SignalWatcher> m_signals;
    QTimer m_flushTimer;
    QTimer m_progressTimer;
    std::function<void(int)> m_interrupt;
    std::function<void()> m_hangup;
    std::function<void(veltrano::LineOutput&, int)> m_summary;
    std::vector<EndFile> m_endFiles;
    bool m_finished{false};
    int m_exitCode{EXIT_OK};
};

// One run of a command's `Driver`, built from `args` and the run, from its Start to the exit status.
template <typename Driver, typename... Args>
int ExecDriver(std::string command, const OutputOptions& output, Args&&... args)
{
    CommandRun run(std::move(command), output);
    Driver driver(std::forward<Args>(args)..., run);
    return run.Exec([&driver] { return driver.Start(); });
}

// A judging command's end: its verdicts as JUnit XML to `junit` (nothing when empty), then their summary.
void EndWithVerdicts(CommandRun& run, const veltrano::VerdictReport& report, std::string junit);

// `timer`'s timeouts call `timeout`. The timer is a member of the object that `timeout` calls: as the
// connection's context it ends the connection with that object.
template <typename Timeout>
void OnTimeout(QTimer& timer, Timeout timeout)
{
    QObject::connect(&timer, &QTimer::timeout, &timer, std::move(timeout));
}

// `timer` as a one-shot timer to the millisecond whose timeout calls `timeout`.
template <typename Timeout>
void ConnectOneShot(QTimer& timer, Timeout timeout)
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    OnTimeout(timer, std::move(timeout));
}
