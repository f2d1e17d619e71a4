#include "bench/load_clients.h"

#include <algorithm>
#include <random>
#include <unordered_map>

#include <pthread.h>
#include <time.h>

namespace {

constexpr std::size_t kReceiveSize = 2048;
// Long enough for the last answers to come back, short enough to keep a stalled phase bounded.
constexpr auto kQuietAfterFlood = std::chrono::milliseconds(500);
constexpr auto kDrainLimit = std::chrono::seconds(10);
constexpr auto kHelperLifetime = std::chrono::minutes(15);

constexpr std::uint8_t kMarkerLow = 0xC3;
constexpr std::uint8_t kMarkerHigh = 0x3C;
constexpr std::size_t kRandomPoolSize = std::size_t{1} << 22;
constexpr int kLongestFloodDatagram = 2000;

using ReceiveBuffer = std::array<std::uint8_t, kReceiveSize>;

bool IsAcknowledgementOf(const ReceiveBuffer& answer, int length, std::uint32_t sequence)
{
    return length == ACK_FRAME_LENGTH && answer[FRAME_COMMAND] == (CMD_STATUS | ACK_FLAG) &&
           answer[1] == (sequence & 0xFF) && answer[2] == ((sequence >> 8) & 0xFF);
}

bool IsAcknowledgement(const ReceiveBuffer& answer, int length)
{
    return length == ACK_FRAME_LENGTH && answer[FRAME_COMMAND] >= ACK_FLAG;
}

std::uint64_t PackAcknowledgement(const std::uint8_t* bytes)
{
    std::uint64_t packed = 0;
    for (int i = ACK_FRAME_LENGTH - 1; i >= 0; --i)
        packed = packed << 8 | bytes[i];
    return packed;
}

// What was sent with one sequence number, enough to know its acknowledgement.
struct SentDatagram
{
    std::uint16_t length{0};
    std::array<std::uint8_t, 7> head{}; // bytes 0 to 6, zero past the length
};

bool IsAnswerable(const SentDatagram& sent)
{
    return sent.length >= 1 && sent.length <= FRAME_BUFFER_SIZE && sent.head[FRAME_COMMAND] < ACK_FLAG;
}

std::uint64_t ExpectedAcknowledgement(const SentDatagram& sent)
{
    FrameBuffer buffer{};
    std::copy(sent.head.begin(), sent.head.end(), buffer.begin());
    Acknowledge(buffer, sent.length);
    return PackAcknowledgement(buffer.data());
}

// Sorts each acknowledgement into matched or one of the faults.
class AcknowledgementCheck final
{
public:
    explicit AcknowledgementCheck(RandomFloodReport& report) : m_report(report) {}

    void Sent(const SentDatagram& sent)
    {
        m_sent.push_back(sent);
        const bool tagged = sent.length > 5;
        if (IsAnswerable(sent) && !tagged)
            ++m_untagged[ExpectedAcknowledgement(sent)];
    }

    void Received(const ReceiveBuffer& answer, int length)
    {
        ++m_report.acknowledgements;
        if (length != ACK_FRAME_LENGTH) {
            ++m_report.wrongContent;
            return;
        }
        if (answer[4] != kMarkerLow || answer[5] != kMarkerHigh) {
            // From a datagram too short to carry the whole tag: any unanswered one with this answer.
            const auto found = m_untagged.find(PackAcknowledgement(answer.data()));
            if (found == m_untagged.end() || found->second == 0) {
                ++m_report.unknown;
                return;
            }
            --found->second;
            ++m_report.matched;
            return;
        }
        const std::uint32_t sequence = answer[1] | answer[2] << 8 | answer[3] << 16;
        if (sequence >= m_sent.size()) {
            ++m_report.unknown;
            return;
        }
        const SentDatagram& sent = m_sent[sequence];
        if (!IsAnswerable(sent)) {
            ++m_report.forUnanswerable;
            return;
        }
        if (m_answered.size() <= sequence)
            m_answered.resize(m_sent.size(), false);
        if (m_answered[sequence]) {
            ++m_report.duplicates;
            return;
        }
        m_answered[sequence] = true;
        if (PackAcknowledgement(answer.data()) != ExpectedAcknowledgement(sent)) {
            ++m_report.wrongContent;
            return;
        }
        ++m_report.matched;
    }

    void Reserve(std::size_t count) { m_sent.reserve(count); }

private:
    RandomFloodReport& m_report;
    std::vector<SentDatagram> m_sent;
    std::vector<bool> m_answered;
    std::unordered_map<std::uint64_t, int> m_untagged;
};

std::int64_t ClockNs(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

std::vector<std::uint8_t> RandomPool(std::uint32_t seed)
{
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> pool(kRandomPoolSize);
    for (std::size_t i = 0; i < pool.size(); i += 4) {
        const std::uint32_t word = generator();
        for (std::size_t k = 0; k < 4; ++k)
            pool[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
    }
    return pool;
}

} // namespace

void NameCurrentThread(const char* name)
{
    ::pthread_setname_np(::pthread_self(), name);
}

std::array<std::uint8_t, STATUS_FRAME_LENGTH> SequencedStatusFrame(std::uint32_t sequence)
{
    std::array<std::uint8_t, STATUS_FRAME_LENGTH> frame{STATUS_FRAME_LENGTH,
                                                        static_cast<std::uint8_t>(sequence & 0xFF),
                                                        static_cast<std::uint8_t>((sequence >> 8) & 0xFF),
                                                        0x00,
                                                        0x00,
                                                        0x00,
                                                        CMD_STATUS};
    std::copy(DEFAULT_STATUS.begin(), DEFAULT_STATUS.end(), frame.begin() + FRAME_STATUS);
    frame[STATUS_FRAME_LENGTH - 1] = FrameChecksum(frame);
    return frame;
}

bool Acknowledge(FrameBuffer& buffer, int length)
{
    if (length < 1 || static_cast<std::size_t>(length) > buffer.size())
        return false;
    std::fill(buffer.begin() + length, buffer.end(), std::uint8_t{0});
    if (buffer[FRAME_COMMAND] >= ACK_FLAG)
        return false;
    buffer[FRAME_LENGTH] = ACK_FRAME_LENGTH;
    buffer[FRAME_COMMAND] |= ACK_FLAG;
    buffer[ACK_FRAME_LENGTH - 1] = FrameChecksum(buffer);
    return true;
}

double WindowedRun::Rate() const
{
    if (checkpoints.empty() || acknowledged == 0)
        return 0;
    return RateBetween(0, checkpoints.size() - 1, 0);
}

double WindowedRun::RateBetween(std::size_t first, std::size_t last, std::uint64_t checkpointEvery) const
{
    if (last >= checkpoints.size() || first >= last)
        return 0;
    const std::chrono::duration<double> elapsed = checkpoints[last] - checkpoints[first];
    // Every 0 means the last checkpoint is the end of the run.
    const double frames = checkpointEvery != 0 ? static_cast<double>((last - first) * checkpointEvery)
                                               : static_cast<double>(acknowledged);
    return elapsed.count() > 0 ? frames / elapsed.count() : 0;
}

double WindowedRun::ServerCpuNsBetween(std::size_t first, std::size_t last,
                                       std::uint64_t checkpointEvery) const
{
    if (last >= serverCpuNs.size() || first >= last || checkpointEvery == 0)
        return 0;
    return static_cast<double>(serverCpuNs[last] - serverCpuNs[first]) /
           static_cast<double>((last - first) * checkpointEvery);
}

WindowedRun RunWindowedClient(const WindowedLoad& load, const std::atomic<bool>& cancel)
{
    WindowedRun run;
    LoopbackSocket socket;
    if (!socket.IsValid() || !socket.ConnectTo(load.port))
        return run;
    socket.SetReceiveTimeout(load.refillAfter);
    run.checkpoints.reserve(static_cast<std::size_t>(load.target / load.checkpointEvery) + 2);

    std::uint32_t sequence = 0;
    const auto sendWindow = [&] {
        for (int i = 0; i < load.window; ++i, ++run.sent)
            socket.Send(SequencedStatusFrame(sequence++));
    };
    const auto checkpoint = [&run, &load](BenchClock::time_point now) {
        run.checkpoints.push_back(now);
        if (load.serverClock)
            run.serverCpuNs.push_back(ClockNs(*load.serverClock));
    };
    const auto start = BenchClock::now();
    checkpoint(start);
    sendWindow();
    ReceiveBuffer answer{};
    while (run.acknowledged < load.target && !cancel.load(std::memory_order_relaxed)) {
        const int length = socket.Receive(answer);
        const auto now = BenchClock::now();
        if (now - start > load.limit)
            break;
        if (length < 0) {
            ++run.refills;
            sendWindow();
            continue;
        }
        if (!IsAcknowledgement(answer, length))
            continue;
        if (++run.acknowledged % load.checkpointEvery == 0)
            checkpoint(now);
        socket.Send(SequencedStatusFrame(sequence++));
        ++run.sent;
    }
    run.reachedTarget = run.acknowledged >= load.target;
    if (run.acknowledged % load.checkpointEvery != 0)
        checkpoint(BenchClock::now());
    return run;
}

double PingPongRun::Rate() const
{
    return seconds > 0 ? static_cast<double>(roundTripsNs.size()) / seconds : 0;
}

PingPongRun RunPingPong(std::uint16_t port, std::uint64_t count, BenchClock::duration limit,
                        const std::atomic<bool>& cancel)
{
    PingPongRun run;
    LoopbackSocket socket;
    if (!socket.IsValid() || !socket.ConnectTo(port))
        return run;
    socket.SetReceiveTimeout(std::chrono::milliseconds(200));
    run.roundTripsNs.reserve(count);
    ReceiveBuffer answer{};
    const auto start = BenchClock::now();
    for (std::uint32_t sequence = 0; sequence < count; ++sequence) {
        if (cancel.load(std::memory_order_relaxed) || BenchClock::now() - start > limit)
            break;
        const auto sentAt = BenchClock::now();
        socket.Send(SequencedStatusFrame(sequence));
        // A late answer to an earlier frame is skipped; a few of them at most.
        bool answered = false;
        for (int attempt = 0; attempt < 8 && !answered; ++attempt) {
            const int length = socket.Receive(answer);
            if (length < 0)
                break;
            answered = IsAcknowledgementOf(answer, length, sequence);
        }
        if (!answered) {
            ++run.lost;
            continue;
        }
        run.roundTripsNs.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(BenchClock::now() - sentAt).count());
    }
    run.seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
    return run;
}

FloodRun RunStatusFlood(std::uint16_t port, BenchClock::duration duration, const std::atomic<bool>& cancel)
{
    FloodRun run;
    LoopbackSocket socket;
    if (!socket.IsValid() || !socket.ConnectTo(port))
        return run;
    ReceiveBuffer answer{};
    const auto end = BenchClock::now() + duration;
    std::uint32_t sequence = 0;
    while (!cancel.load(std::memory_order_relaxed)) {
        // The clock is read once per batch so that sending dominates.
        if ((sequence & 0x3F) == 0) {
            if (BenchClock::now() >= end)
                break;
            for (int drained = 0; drained < 4096 && socket.TryReceive(answer) >= 0; ++drained)
                ++run.acknowledged;
        }
        if (socket.Send(SequencedStatusFrame(sequence++)))
            ++run.sent;
    }
    return run;
}

RandomFloodReport RunRandomFlood(std::uint16_t port, std::uint64_t count, std::uint32_t seed,
                                 BenchClock::duration limit, const std::atomic<bool>& cancel)
{
    RandomFloodReport report;
    LoopbackSocket socket;
    if (!socket.IsValid() || !socket.ConnectTo(port))
        return report;
    // Answers must not be dropped here: the count of them is checked against the centre's own.
    socket.SetBufferSizes(16 << 20);

    const std::vector<std::uint8_t> pool = RandomPool(seed);
    std::mt19937 generator(seed ^ 0x9E3779B9u);
    std::uniform_int_distribution<int> lengthOf(0, kLongestFloodDatagram);
    std::uniform_int_distribution<std::size_t> offsetOf(0, pool.size() - kLongestFloodDatagram - 1);

    AcknowledgementCheck check(report);
    check.Reserve(count);
    ReceiveBuffer answer{};
    const auto drain = [&] {
        for (int length = socket.TryReceive(answer); length >= 0; length = socket.TryReceive(answer))
            check.Received(answer, length);
    };

    const auto start = BenchClock::now();
    std::array<std::uint8_t, kLongestFloodDatagram> datagram{};
    for (std::uint32_t sequence = 0; sequence < count; ++sequence) {
        if ((sequence & 0x3FF) == 0 &&
            (cancel.load(std::memory_order_relaxed) || BenchClock::now() - start > limit))
            break;
        const auto length = static_cast<std::size_t>(lengthOf(generator));
        std::copy_n(pool.begin() + static_cast<std::ptrdiff_t>(offsetOf(generator)), length,
                    datagram.begin());
        const std::array<std::uint8_t, 5> tag{
            static_cast<std::uint8_t>(sequence & 0xFF), static_cast<std::uint8_t>((sequence >> 8) & 0xFF),
            static_cast<std::uint8_t>((sequence >> 16) & 0xFF), kMarkerLow, kMarkerHigh};
        for (std::size_t i = 1; i < length && i <= tag.size(); ++i)
            datagram[i] = tag[i - 1];

        SentDatagram sent;
        sent.length = static_cast<std::uint16_t>(length);
        std::copy_n(datagram.begin(), std::min(length, sent.head.size()), sent.head.begin());
        check.Sent(sent);
        ++report.sent;
        if (length >= 1 && length <= FRAME_BUFFER_SIZE) {
            ++report.sentReadable;
            if (IsAnswerable(sent))
                ++report.sentAnswerable;
        }
        socket.Send(std::span(datagram.data(), length));
        drain();
    }
    report.sendSeconds = std::chrono::duration<double>(BenchClock::now() - start).count();

    const auto drainEnd = BenchClock::now() + kDrainLimit;
    while (BenchClock::now() < drainEnd && socket.WaitReadable(kQuietAfterFlood))
        drain();
    return report;
}

EchoLoop::EchoLoop() = default;

EchoLoop::~EchoLoop()
{
    Stop();
}

bool EchoLoop::Start()
{
    if (!m_socket.IsValid() || m_thread.joinable())
        return false;
    m_socket.SetReceiveTimeout(std::chrono::milliseconds(50));
    // Under a flood it drops less, so that its answers exercise more of the check.
    m_socket.SetBufferSizes(32 << 20);
    m_stop = false;
    m_thread = std::thread(&EchoLoop::Run, this);
    return true;
}

void EchoLoop::Stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void EchoLoop::Run()
{
    NameCurrentThread("bench-echo");
    const auto end = BenchClock::now() + kHelperLifetime;
    ReceiveBuffer datagram{};
    FrameBuffer buffer{};
    sockaddr_in from{};
    while (!m_stop.load(std::memory_order_relaxed) && BenchClock::now() < end) {
        const int length = m_socket.ReceiveFrom(datagram, from);
        if (length < 1 || static_cast<std::size_t>(length) > buffer.size())
            continue;
        ++m_readable;
        std::copy_n(datagram.begin(), length, buffer.begin());
        if (Acknowledge(buffer, length)) {
            m_socket.Reply(std::span(buffer.data(), ACK_FRAME_LENGTH), from);
            ++m_answered;
        }
    }
}

SweepSink::SweepSink() = default;

SweepSink::~SweepSink()
{
    Stop();
}

bool SweepSink::Start()
{
    if (!m_socket.IsValid() || m_thread.joinable())
        return false;
    m_socket.SetReceiveTimeout(std::chrono::milliseconds(50));
    m_ticks.reserve(1024);
    m_stop = false;
    m_thread = std::thread(&SweepSink::Run, this);
    return true;
}

void SweepSink::Stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void SweepSink::Run()
{
    NameCurrentThread("bench-sink");
    const auto end = BenchClock::now() + kHelperLifetime;
    ReceiveBuffer datagram{};
    while (!m_stop.load(std::memory_order_relaxed) && BenchClock::now() < end) {
        const int length = m_socket.Receive(datagram);
        if (length == STATUS_FRAME_LENGTH && datagram[FRAME_COMMAND] == CMD_STATUS) {
            m_ticks.push_back(BenchClock::now());
            ++m_count;
        }
    }
}
