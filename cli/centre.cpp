#include "cli/centre.h"

#include "net/host_port.h"
#include "net/udp_endpoint.h"
#include "protocol/frame_decoder.h"

#include <QSocketNotifier>

#include <fmt/format.h>

#include <arpa/inet.h>

#include <cstdio>
#include <variant>

namespace {

// Batches read per notification before other events get their turn.
constexpr int BATCHES_PER_WAKE = 16;
constexpr int FLUSH_PERIOD_MS = 200;

// Indexed by Answer::faults.
constexpr std::string_view FAULT_NOTES[] = {
    "",
    "delayed",
    "duplicate",
    "delayed, duplicate",
    "checksum spoilt",
    "delayed, checksum spoilt",
    "duplicate, checksum spoilt",
    "delayed, duplicate, checksum spoilt",
};

} // namespace

Centre::Centre(const CentreOptions& options, std::uint32_t bindAddress, Output& output, QObject* parent)
    : QObject(parent), m_options(options), m_bindAddress(bindAddress), m_output(output)
{
    m_seed = options.seed ? *options.seed : std::random_device{}();
    m_random.seed(m_seed);
    m_delayTimer.setSingleShot(true);
    m_delayTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_delayTimer, &QTimer::timeout, this, &Centre::OnDelayDue);
    m_durationTimer.setSingleShot(true);
    m_durationTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_durationTimer, &QTimer::timeout, this, [this] {
        StopReceiving();
        ArmDelayTimer();
    });
    connect(&m_flushTimer, &QTimer::timeout, this, [this] { m_output.Flush(); });
}

Centre::~Centre() = default;

std::optional<std::string> Centre::Start()
{
    if (auto error = m_capture.Open(m_options.output.pcapPath))
        return error;
    BatchUdpSocket::Options socketOptions;
    socketOptions.bindAddress = m_bindAddress;
    socketOptions.port = m_options.port;
    socketOptions.receiveBuffer = m_options.receiveBuffer;
    if (auto error = m_socket.Open(socketOptions))
        return error;
    m_local = m_socket.LocalAddress();
    m_broadcasts = InterfaceBroadcastAddresses();
    m_notifier = std::make_unique<QSocketNotifier>(m_socket.Handle(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &Centre::OnReadable);
    m_receiving = true;
    if (m_options.durationS > 0)
        m_durationTimer.start(
            std::chrono::milliseconds(static_cast<std::int64_t>(m_options.durationS * 1000)));
    m_flushTimer.start(FLUSH_PERIOD_MS);
    std::fprintf(stderr, "centre listening on %s (receive buffer %d bytes, seed %llu)\n",
                 FormatPeer(ntohl(m_local.address), ntohs(m_local.port)).c_str(),
                 m_socket.ReceiveBufferBytes(), static_cast<unsigned long long>(m_seed));
    return std::nullopt;
}

void Centre::Interrupt([[maybe_unused]] int signal)
{
    Finish();
}

void Centre::OnReadable()
{
    for (int round = 0; round < BATCHES_PER_WAKE && m_receiving; ++round) {
        int error = 0;
        // After an answered batch the next is often microseconds away: waiting for it spares a wake-up.
        const auto batch =
            round == 0 ? m_socket.Receive(error) : m_socket.ReceiveLingering(error, BatchUdpSocket::LINGER);
        if (batch.empty())
            break;
        const std::int64_t nowUs = WallClockUs();
        for (const auto& datagram : batch) {
            Handle(datagram, nowUs);
            if (m_options.count != 0 && m_counts.received >= m_options.count) {
                StopReceiving();
                break;
            }
        }
        SendAnswers(m_answers);
    }
    ArmDelayTimer();
    m_output.EndOfBatch();
}

void Centre::Handle(const BatchUdpSocket::Received& datagram, std::int64_t nowUs)
{
    ++m_counts.received;
    m_output.Frame(ReceivedFrame(nowUs, datagram.from, datagram.bytes));
    m_capture.Record(nowUs, datagram.from, {datagram.localAddress, m_local.port}, datagram.bytes);
    if (!DecodeFrame(datagram.bytes).findings.Empty())
        ++m_counts.malformed;

    const auto answer = AcknowledgementFor(datagram.bytes);
    if (const auto* reason = std::get_if<NoAck>(&answer)) {
        switch (*reason) {
        case NoAck::Empty:
            ++m_counts.emptyDatagrams;
            break;
        case NoAck::Oversize:
            ++m_counts.oversize;
            break;
        case NoAck::Acknowledgement:
            ++m_counts.acknowledgements;
            break;
        }
        return;
    }
    if (m_options.noAck) {
        ++m_counts.noAckOption;
        return;
    }
    // Only ever the sender, and never a sender that is no unicast address.
    if (datagram.from.port == 0 || RefusedDestination(datagram.from.address, m_broadcasts)) {
        ++m_counts.refusedSender;
        return;
    }
    if (Chance(m_options.dropPercent)) {
        ++m_counts.dropped;
        return;
    }
    // Bound to all addresses, the answer comes from the one the datagram reached.
    Answer reply{std::get<AckFrame>(answer), datagram.from, datagram.replySource, 0, {}};
    if (Chance(m_options.badChecksumPercent)) {
        reply.ack[ACK_FRAME_LENGTH - 1] ^= 0xFF;
        reply.faults |= SPOILT;
    }
    const bool twice = Chance(m_options.dupPercent);
    if (m_options.delayMs > 0) {
        reply.faults |= DELAYED;
        reply.due = Clock::now() + std::chrono::milliseconds(m_options.delayMs);
        m_held.push_back(reply);
        if (twice) {
            reply.faults |= DUPLICATE;
            m_held.push_back(reply);
        }
        return;
    }
    m_answers.push_back(reply);
    if (twice) {
        reply.faults |= DUPLICATE;
        m_answers.push_back(reply);
    }
}

bool Centre::Chance(double percent)
{
    if (percent <= 0)
        return false;
    return std::uniform_real_distribution<double>(0, 100)(m_random) < percent;
}

void Centre::SendAnswers(std::vector<Answer>& answers)
{
    if (answers.empty())
        return;
    std::vector<BatchUdpSocket::Outgoing> outgoing;
    outgoing.reserve(answers.size());
    for (const Answer& a : answers)
        outgoing.push_back({a.to, a.source, a.ack});
    std::size_t next = 0;
    while (next < answers.size()) {
        const std::int64_t nowUs = WallClockUs();
        const auto outcome = m_socket.Send(std::span(outgoing).subspan(next));
        const std::size_t end = next + outcome.sent + (outcome.error != 0 ? 1 : 0);
        for (std::size_t i = next; i < end; ++i) {
            const Answer& a = answers[i];
            const int error = i < next + outcome.sent ? 0 : outcome.error;
            m_output.Frame(SentFrame(nowUs, a.to, a.ack, error, FAULT_NOTES[a.faults]));
            if (error != 0) {
                ++m_counts.sendFailed;
                continue;
            }
            m_capture.Record(nowUs, {a.source != 0 ? a.source : m_local.address, m_local.port}, a.to, a.ack);
            ++m_counts.acksSent;
            if ((a.faults & DUPLICATE) != 0) {
                ++m_counts.duplicated;
                continue;
            }
            ++m_counts.acknowledged;
            if ((a.faults & DELAYED) != 0)
                ++m_counts.delayed;
            if ((a.faults & SPOILT) != 0)
                ++m_counts.badChecksum;
        }
        next = end;
    }
    answers.clear();
}

void Centre::OnDelayDue()
{
    const auto now = Clock::now();
    while (!m_held.empty() && m_held.front().due <= now) {
        m_answers.push_back(m_held.front());
        m_held.pop_front();
    }
    SendAnswers(m_answers);
    m_output.EndOfBatch();
    ArmDelayTimer();
}

void Centre::ArmDelayTimer()
{
    if (m_held.empty()) {
        if (!m_receiving)
            Finish();
        return;
    }
    if (m_delayTimer.isActive())
        return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_held.front().due - Clock::now());
    m_delayTimer.start(std::max(wait, std::chrono::milliseconds(0)));
}

void Centre::StopReceiving()
{
    m_receiving = false;
    if (m_notifier)
        m_notifier->setEnabled(false);
    m_durationTimer.stop();
}

void Centre::Finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_receiving = false;
    m_notifier.reset();
    m_delayTimer.stop();
    m_durationTimer.stop();
    m_flushTimer.stop();
    int exitCode = EXIT_OK;
    if (auto error = m_capture.Close()) {
        std::fprintf(stderr, "veltrano-cli: %s\n", error->c_str());
        exitCode = EXIT_SOCKET;
    }
    const Counts& c = m_counts;
    const SummaryField fields[] = {
        {"received", c.received},
        {"acknowledged", c.acknowledged},
        {"acks_sent", c.acksSent},
        {"not_answered_empty", c.emptyDatagrams},
        {"not_answered_oversize", c.oversize},
        {"not_answered_ack", c.acknowledgements},
        {"not_answered_no_ack", c.noAckOption},
        {"not_answered_sender", c.refusedSender},
        {"malformed", c.malformed},
        {"dropped", c.dropped},
        {"delayed", c.delayed},
        {"duplicated", c.duplicated},
        {"bad_checksum", c.badChecksum},
        {"send_failed", c.sendFailed},
        {"held_at_exit", static_cast<std::uint64_t>(m_held.size())},
        {"kernel_drops", m_socket.KernelDrops()},
        {"rcvbuf", static_cast<std::uint64_t>(m_socket.ReceiveBufferBytes())},
        {"seed", m_seed},
    };
    m_output.Summary("centre", fields);
    Q_EMIT Finished(exitCode);
}
