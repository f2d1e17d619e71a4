#include "cli/sender.h"

#include "net/udp_endpoint.h"
#include "protocol/acknowledgement.h"
#include "protocol/frame_decoder.h"

#include <QSocketNotifier>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int FLUSH_PERIOD_MS = 200;

} // namespace

AckMatch MatchAcknowledgement(std::uint64_t frameKey, std::span<const std::uint8_t> datagram)
{
    if (!IsAcknowledgement(datagram) || AckPairingKey(datagram) != frameKey)
        return AckMatch::Other;
    return DecodeFrame(datagram).checksum == ChecksumState::Good ? AckMatch::Matches : AckMatch::BadChecksum;
}

Sender::Sender(std::string command, std::vector<std::vector<std::uint8_t>> frames,
                 const SenderOptions& options, Output& output, QObject* parent)
    : QObject(parent), m_command(std::move(command)), m_frames(std::move(frames)), m_options(options),
      m_output(output)
{
    m_nextTimer.setSingleShot(true);
    m_nextTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_nextTimer, &QTimer::timeout, this, &Sender::SendCurrent);
    m_timeoutTimer.setSingleShot(true);
    m_timeoutTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_timeoutTimer, &QTimer::timeout, this, &Sender::OnTimeout);
    // Lines of a slow run reach a pipe or a file within a moment, not only at the end.
    connect(&m_flushTimer, &QTimer::timeout, this, [this] { m_output.Flush(); });
}

Sender::~Sender() = default;

std::optional<std::string> Sender::Start()
{
    if (auto error = m_capture.Open(m_options.output.pcapPath))
        return error;
    BatchUdpSocket::Options socketOptions;
    socketOptions.port = m_options.fromPort;
    socketOptions.receiveBuffer = m_options.receiveBuffer;
    socketOptions.peer = m_options.to;
    if (auto error = m_socket.Open(socketOptions))
        return error;
    m_local = m_socket.LocalAddress();
    m_notifier = std::make_unique<QSocketNotifier>(m_socket.Handle(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &Sender::OnReadable);
    m_nextTimer.start(0);
    m_flushTimer.start(FLUSH_PERIOD_MS);
    return std::nullopt;
}

void Sender::Interrupt(int signal)
{
    Finish(128 + signal);
}

void Sender::SendCurrent()
{
    if (m_index >= m_frames.size()) {
        Finish(m_missing > 0 ? EXIT_EXPECTATION_FAILED : EXIT_OK);
        return;
    }
    const auto& frame = m_frames[m_index];
    const BatchUdpSocket::Outgoing outgoing{m_options.to, 0, frame};
    // Stamped as it is handed over: the far side cannot have it earlier.
    const std::int64_t nowUs = WallClockUs();
    m_sentAt = Clock::now();
    const auto outcome = m_socket.Send(std::span(&outgoing, 1));
    ++m_attempts;
    m_output.Frame(SentFrame(nowUs, m_options.to, frame, outcome.error, m_attempts > 1 ? "retry" : ""));
    m_output.EndOfBatch();
    if (outcome.sent == 1) {
        ++m_sent;
        m_capture.Record(nowUs, m_local, m_options.to, frame);
    } else {
        ++m_sendFailed;
    }
    if (m_options.expectAck) {
        m_waiting = true;
        m_timeoutTimer.start(m_options.timeoutMs);
    } else {
        Advance();
    }
}

void Sender::OnReadable()
{
    while (!m_finished) {
        int error = 0;
        const auto batch = m_socket.Receive(error);
        if (error == ECONNREFUSED && !m_refusedTold) {
            // The destination's port is closed; the wait goes on, as a panel's would.
            std::fprintf(stderr, "veltrano-cli: %s: %s\n",
                         FormatPeer(ntohl(m_options.to.address), ntohs(m_options.to.port)).c_str(),
                         std::strerror(error));
            m_refusedTold = true;
        }
        if (batch.empty() && error == 0)
            break;
        const std::int64_t nowUs = WallClockUs();
        for (const auto& datagram : batch) {
            if (m_finished)
                break;
            std::optional<std::int64_t> rtt;
            std::string_view note;
            const auto match = m_waiting
                                   ? MatchAcknowledgement(AckPairingKey(m_frames[m_index]), datagram.bytes)
                                   : AckMatch::Other;
            if (match == AckMatch::Matches) {
                rtt = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_sentAt).count();
                m_rtt.Add(*rtt);
                ++m_acknowledged;
            } else if (match == AckMatch::BadChecksum) {
                note = "bad checksum, not taken";
                ++m_badAcks;
            } else {
                ++m_unexpected;
            }
            m_output.Frame(ReceivedFrame(nowUs, datagram.from, datagram.bytes, rtt, note));
            m_capture.Record(nowUs, datagram.from, {datagram.localAddress, m_local.port}, datagram.bytes);
            if (match == AckMatch::Matches) {
                m_waiting = false;
                m_timeoutTimer.stop();
                Advance();
            }
        }
    }
    m_output.EndOfBatch();
}

void Sender::OnTimeout()
{
    m_waiting = false;
    if (m_attempts <= m_options.retries) {
        ++m_retries;
        SendCurrent();
        return;
    }
    ++m_missing;
    std::fprintf(stderr, "veltrano-cli: no acknowledgement for frame %zu after %d attempt%s\n", m_index + 1,
                 m_attempts, m_attempts == 1 ? "" : "s");
    Advance();
}

void Sender::Advance()
{
    ++m_index;
    m_attempts = 0;
    if (m_index >= m_frames.size()) {
        Finish(m_missing > 0 ? EXIT_EXPECTATION_FAILED : EXIT_OK);
        return;
    }
    m_nextTimer.start(m_options.intervalMs);
}

void Sender::Finish(int exitCode)
{
    if (m_finished)
        return;
    m_finished = true;
    m_notifier.reset();
    m_nextTimer.stop();
    m_timeoutTimer.stop();
    m_flushTimer.stop();
    if (auto error = m_capture.Close()) {
        std::fprintf(stderr, "veltrano-cli: %s\n", error->c_str());
        if (exitCode == EXIT_OK)
            exitCode = EXIT_SOCKET;
    }
    const SummaryField fields[] = {
        {"frames", static_cast<std::uint64_t>(m_frames.size())},
        {"sent", m_sent},
        {"acknowledged", m_acknowledged},
        {"missing", m_missing},
        {"retries", m_retries},
        {"bad_acks", m_badAcks},
        {"unexpected", m_unexpected},
        {"send_failed", m_sendFailed},
        {"rtt_p50_us", static_cast<std::uint64_t>(m_rtt.Percentile(0.5))},
        {"rtt_max_us", static_cast<std::uint64_t>(m_rtt.Max())},
        {"exit", static_cast<std::uint64_t>(exitCode)},
    };
    m_output.Summary(m_command, fields);
    Q_EMIT Finished(exitCode);
}
