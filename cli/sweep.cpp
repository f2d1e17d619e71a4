#include "cli/sweep.h"

#include "cli/sender.h"
#include "net/udp_endpoint.h"
#include "protocol/acknowledgement.h"

#include <QSocketNotifier>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr int BATCHES_PER_WAKE = 16;
constexpr std::uint64_t MOST_PER_WAKE = 4096;
constexpr int FLUSH_PERIOD_MS = 200;

bool IsTransient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS;
}

} // namespace

Sweep::Sweep(const SweepOptions& options, Output& output, QObject* parent)
    : QObject(parent), m_options(options), m_output(output), m_walk(options.startTick)
{
    m_paceTimer.setSingleShot(true);
    m_paceTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_paceTimer, &QTimer::timeout, this, &Sweep::OnPace);
    connect(&m_expiryTimer, &QTimer::timeout, this, &Sweep::ExpireOld);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] { m_output.Flush(); });
    m_frames.reserve(MOST_PER_WAKE);
    m_outgoing.reserve(MOST_PER_WAKE);
}

Sweep::~Sweep() = default;

std::optional<std::string> Sweep::Start()
{
    if (auto error = m_capture.Open(m_options.sender.output.pcapPath))
        return error;
    BatchUdpSocket::Options socketOptions;
    socketOptions.port = m_options.sender.fromPort;
    socketOptions.receiveBuffer = m_options.sender.receiveBuffer;
    socketOptions.peer = m_options.sender.to;
    if (auto error = m_socket.Open(socketOptions))
        return error;
    m_local = m_socket.LocalAddress();
    m_notifier = std::make_unique<QSocketNotifier>(m_socket.Handle(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &Sweep::OnReadable);
    if (Tracking())
        m_expiryTimer.start(std::clamp(m_options.sender.timeoutMs / 10, 1, 100));
    m_flushTimer.start(FLUSH_PERIOD_MS);
    m_start = Clock::now();
    m_lastSend = m_start;
    m_paceTimer.start(0);
    return std::nullopt;
}

void Sweep::Interrupt(int signal)
{
    Finish(128 + signal);
}

void Sweep::OnPace()
{
    if (m_finished)
        return;
    if (!m_options.rate) {
        Refill();
        LogSent();
        return;
    }
    const double rate = *m_options.rate;
    const auto now = Clock::now();
    // The frames due by now, the first at once: elapsed time, not the number of wake-ups, sets the pace.
    const double elapsed = std::chrono::duration<double>(now - m_start).count();
    auto due = static_cast<std::uint64_t>(std::floor(elapsed * rate)) + 1;
    if (m_options.count != 0)
        due = std::min(due, m_options.count);
    if (due > m_ticks)
        SendFrames(std::min(due - m_ticks, MOST_PER_WAKE));
    LogSent();
    m_output.EndOfBatch();
    if (AllSent()) {
        CheckDone();
        return;
    }
    const auto next = m_start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(static_cast<double>(m_ticks) / rate));
    const auto wait = due > m_ticks ? std::chrono::milliseconds(0)
                                    : std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
    m_paceTimer.start(std::max(wait, std::chrono::milliseconds(0)));
}

void Sweep::Refill()
{
    const auto window = static_cast<std::uint64_t>(m_options.window);
    std::uint64_t wanted = Outstanding() < window ? window - Outstanding() : 0;
    if (m_options.count != 0)
        wanted = std::min(wanted, m_options.count - m_ticks);
    if (wanted > 0)
        SendFrames(wanted);
}

void Sweep::SendFrames(std::uint64_t count)
{
    LogSent(); // what an earlier call sent, before its frames make way
    const SweepWalk before = m_walk;
    m_frames.clear();
    m_outgoing.clear();
    for (std::uint64_t i = 0; i < count; ++i)
        m_frames.push_back(m_walk.Next());
    for (const auto& frame : m_frames)
        m_outgoing.push_back({m_options.sender.to, 0, frame});
    // Stamped as they are handed over: the far side cannot have them earlier.
    m_sentUs = WallClockUs();
    const auto now = Clock::now();
    const auto outcome = m_socket.Send(m_outgoing);
    if (Tracking()) {
        for (std::size_t i = 0; i < outcome.sent; ++i) {
            const std::uint64_t key = AckPairingKey(m_frames[i]);
            m_pending.push_back({m_nextSequence, key, now, false});
            m_byKey[key].push_back(m_nextSequence);
            ++m_nextSequence;
        }
    }
    m_sentCount = outcome.sent;
    m_sent += outcome.sent;
    m_ticks += outcome.sent;
    if (outcome.sent > 0)
        m_lastSend = now;
    std::size_t consumed = outcome.sent;
    if (outcome.error != 0 && !IsTransient(outcome.error)) {
        // Refused for good (an ICMP error the socket reports, say): shown, and the walk moves past it.
        m_sendError = outcome.error;
        ++m_sendFailed;
        ++m_ticks;
        ++consumed;
    }
    if (consumed < m_frames.size()) {
        m_walk = before;
        for (std::size_t i = 0; i < consumed; ++i)
            m_walk.Next();
    }
}

void Sweep::LogSent()
{
    for (std::size_t i = 0; i < m_sentCount; ++i) {
        m_output.Frame(SentFrame(m_sentUs, m_options.sender.to, m_frames[i]));
        m_capture.Record(m_sentUs, m_local, m_options.sender.to, m_frames[i]);
    }
    if (m_sendError != 0)
        m_output.Frame(SentFrame(m_sentUs, m_options.sender.to, m_frames[m_sentCount], m_sendError));
    m_sentCount = 0;
    m_sendError = 0;
}

void Sweep::OnReadable()
{
    for (int round = 0; round < BATCHES_PER_WAKE && !m_finished; ++round) {
        int error = 0;
        const auto batch = m_socket.Receive(error);
        if (batch.empty() && error == 0)
            break;
        const std::int64_t nowUs = WallClockUs();
        m_matches.clear();
        for (const auto& datagram : batch) {
            ++m_received;
            Match match;
            if (Tracking())
                TakeAcknowledgement(datagram.bytes, match.rtt, match.note);
            m_matches.push_back(match);
        }
        // The next frames go before this batch is written out, so that the far side is not kept waiting.
        if (!m_options.rate)
            Refill();
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const auto& datagram = batch[i];
            m_output.Frame(
                ReceivedFrame(nowUs, datagram.from, datagram.bytes, m_matches[i].rtt, m_matches[i].note));
            m_capture.Record(nowUs, datagram.from, {datagram.localAddress, m_local.port}, datagram.bytes);
        }
        LogSent();
        // A short batch emptied the queue: asking again would only cost a call that finds nothing.
        if (batch.size() < m_socket.BatchSize())
            break;
    }
    if (m_finished)
        return;
    m_output.EndOfBatch();
    CheckDone();
}

void Sweep::TakeAcknowledgement(std::span<const std::uint8_t> datagram, std::optional<std::int64_t>& rtt,
                                 std::string_view& note)
{
    if (!IsAcknowledgement(datagram)) {
        ++m_unexpected;
        return;
    }
    const std::uint64_t key = AckPairingKey(datagram);
    const auto found = m_byKey.find(key);
    if (found == m_byKey.end()) {
        // A second answer, or one too late: its frame was acknowledged or given up already.
        ++m_duplicated;
        note = "no frame waiting";
        return;
    }
    if (MatchAcknowledgement(key, datagram) != AckMatch::Matches) {
        ++m_badAcks;
        note = "bad checksum, not taken";
        return;
    }
    // The oldest frame waiting with that key: the protocol cannot tell frames of one device apart.
    const std::uint64_t sequence = found->second.front();
    found->second.pop_front();
    if (found->second.empty())
        m_byKey.erase(found);
    Pending& pending = m_pending[sequence - m_pending.front().sequence];
    pending.acknowledged = true;
    rtt = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - pending.sentAt).count();
    m_rtt.Add(*rtt);
    ++m_acknowledged;
    while (!m_pending.empty() && m_pending.front().acknowledged)
        m_pending.pop_front();
}

void Sweep::ExpireOld()
{
    const auto limit = Clock::now() - std::chrono::milliseconds(m_options.sender.timeoutMs);
    bool expired = false;
    while (!m_pending.empty() && (m_pending.front().acknowledged || m_pending.front().sentAt <= limit)) {
        const Pending& oldest = m_pending.front();
        if (!oldest.acknowledged) {
            ++m_lost;
            expired = true;
            // It is the oldest waiting frame of its key too.
            const auto found = m_byKey.find(oldest.key);
            if (found != m_byKey.end() && found->second.front() == oldest.sequence) {
                found->second.pop_front();
                if (found->second.empty())
                    m_byKey.erase(found);
            }
        }
        m_pending.pop_front();
    }
    if (expired && !m_options.rate) {
        Refill();
        LogSent();
    }
    CheckDone();
}

void Sweep::CheckDone()
{
    if (m_finished || !AllSent() || (Tracking() && !m_pending.empty()))
        return;
    Finish(m_options.sender.expectAck && m_lost > 0 ? EXIT_EXPECTATION_FAILED : EXIT_OK);
}

void Sweep::Finish(int exitCode)
{
    if (m_finished)
        return;
    LogSent();
    m_finished = true;
    m_notifier.reset();
    m_paceTimer.stop();
    m_expiryTimer.stop();
    m_flushTimer.stop();
    if (auto error = m_capture.Close()) {
        std::fprintf(stderr, "veltrano-cli: %s\n", error->c_str());
        if (exitCode == EXIT_OK)
            exitCode = EXIT_SOCKET;
    }
    const double seconds = std::chrono::duration<double>(m_lastSend - m_start).count();
    // Frames per second over the span of the sends: n frames span n - 1 intervals.
    const double rate = m_sent > 1 && seconds > 0 ? static_cast<double>(m_sent - 1) / seconds : 0;
    std::vector<SummaryField> fields{
        {"sent", m_sent},
        {"received", m_received},
    };
    if (Tracking()) {
        fields.insert(fields.end(), {
                                        {"acknowledged", m_acknowledged},
                                        {"lost", m_lost},
                                        {"outstanding", Outstanding()},
                                        {"duplicated", m_duplicated},
                                        {"bad_acks", m_badAcks},
                                        {"unexpected", m_unexpected},
                                        {"rtt_p50_us", static_cast<std::uint64_t>(m_rtt.Percentile(0.50))},
                                        {"rtt_p90_us", static_cast<std::uint64_t>(m_rtt.Percentile(0.90))},
                                        {"rtt_p99_us", static_cast<std::uint64_t>(m_rtt.Percentile(0.99))},
                                        {"rtt_max_us", static_cast<std::uint64_t>(m_rtt.Max())},
                                    });
    }
    fields.insert(fields.end(), {
                                    {"send_failed", m_sendFailed},
                                    {"send_seconds", seconds},
                                    {"send_rate", rate},
                                    {"next_tick", m_walk.NextTick()},
                                    {"kernel_drops", m_socket.KernelDrops()},
                                    {"exit", static_cast<std::uint64_t>(exitCode)},
                                });
    m_output.Summary("sweep", fields);
    Q_EMIT Finished(exitCode);
}
