#include "bench/load_clients.h"

#include "protocol/acknowledgement.h"
#include "protocol/frame.h"

#include <algorithm>
#include <array>
#include <random>
#include <unordered_map>
#include <variant>

#include <pthread.h>

using namespace veltrano;

using namespace std::chrono_literals;

namespace {

// Far longer than any bench: a helper that is never stopped still ends.
constexpr auto HELPER_LIFETIME = std::chrono::minutes(15);
constexpr std::size_t RECEIVE_SIZE = 2048;
using ReceiveBuffer = std::array<std::uint8_t, RECEIVE_SIZE>;

// Bytes 1 to 3 of a tagged datagram hold its sequence number, bytes 4 and 5 this marker.
constexpr std::uint8_t MARKER_LOW = 0xC3;
constexpr std::uint8_t MARKER_HIGH = 0x3C;
constexpr std::uint32_t PACING_EVERY = 32;
constexpr int LONGEST_DATAGRAM = 2000;
// Never the packing of an acknowledgement, whose byte 0 is 8.
constexpr std::uint64_t NONE_DUE = 0;
constexpr std::uint64_t ANSWERED = 1;
// Room for 256 frames in flight with every skb's overhead, so that a wide window loses none to a full queue.
constexpr int LOAD_BUFFER_BYTES = 4 << 20;
// A lost frame would stall a window for good: after this long without an answer it is refilled.
constexpr auto REFILL_AFTER = 100ms;

void NameThread(const char* name)
{
    ::pthread_setname_np(::pthread_self(), name);
}

std::int64_t ClockNs(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

std::int64_t Ns(LoadClock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

double Seconds(LoadClock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

// Bytes 1 and 2 carry the low 16 bits of the sequence number.
std::array<std::uint8_t, STATUS_FRAME_LENGTH> StatusFrame(std::uint32_t sequence)
{
    std::array<std::uint8_t, STATUS_FRAME_LENGTH> frame{STATUS_FRAME_LENGTH,
                                                        static_cast<std::uint8_t>(sequence & 0xFF),
                                                        static_cast<std::uint8_t>((sequence >> 8) & 0xFF),
                                                        0x00,
                                                        0x00,
                                                        0x00,
                                                        CMD_STATUS};
    std::copy(DEFAULT_STATUS.begin(), DEFAULT_STATUS.end(), frame.begin() + FRAME_STATUS);
    frame.back() = FrameChecksum(frame);
    return frame;
}

std::span<const std::uint8_t> Received(const ReceiveBuffer& buffer, int length)
{
    return std::span(buffer).first(static_cast<std::size_t>(std::max(length, 0)));
}

bool IsAck(std::span<const std::uint8_t> answer)
{
    return answer.size() == ACK_FRAME_LENGTH && IsAcknowledgement(answer);
}

std::uint64_t Packed(std::span<const std::uint8_t> ack)
{
    std::uint64_t packed = 0;
    for (auto byte = ack.rbegin(); byte != ack.rend(); ++byte)
        packed = packed << 8 | *byte;
    return packed;
}

// The answers due to the datagrams sent, and the check of each answer that comes back.
class AnswerCheck final
{
public:
    explicit AnswerCheck(RandomFloodRun& run) : m_run(run) {}

    void Sent(std::span<const std::uint8_t> datagram)
    {
        ++m_run.sent;
        m_run.readable += !datagram.empty() && datagram.size() <= FRAME_BUFFER_SIZE ? 1 : 0;
        const auto answer = AcknowledgementFor(datagram);
        const auto* ack = std::get_if<AckFrame>(&answer);
        const std::uint64_t due = ack != nullptr ? Packed(*ack) : NONE_DUE;
        m_run.answerable += ack != nullptr ? 1 : 0;
        // Five bytes or fewer hold only part of the tag: such answers are matched by their content.
        const bool tagged = datagram.size() > 5;
        if (ack != nullptr && !tagged)
            ++m_untagged[due];
        m_due.push_back(tagged ? due : NONE_DUE);
    }

    // The sequence number of the tagged datagram the answer matched, if it matched one.
    std::optional<std::uint32_t> Take(std::span<const std::uint8_t> answer)
    {
        if (answer.size() != ACK_FRAME_LENGTH) {
            ++m_run.unexpected;
            return std::nullopt;
        }
        const std::uint64_t packed = Packed(answer);
        if (answer[4] != MARKER_LOW || answer[5] != MARKER_HIGH) {
            const auto found = m_untagged.find(packed);
            if (found == m_untagged.end() || found->second == 0) {
                ++m_run.unexpected;
                return std::nullopt;
            }
            --found->second;
            ++m_run.matched;
            return std::nullopt;
        }
        const std::uint32_t sequence = answer[1] | answer[2] << 8 | answer[3] << 16;
        std::uint64_t* due = sequence < m_due.size() ? &m_due[sequence] : nullptr;
        if (due != nullptr && *due == ANSWERED) {
            ++m_run.duplicates;
            return std::nullopt;
        }
        if (due == nullptr || *due == NONE_DUE || *due != packed) {
            ++m_run.unexpected;
            return std::nullopt;
        }
        *due = ANSWERED;
        ++m_run.matched;
        return sequence;
    }

private:
    RandomFloodRun& m_run;
    std::vector<std::uint64_t> m_due; // by sequence number
    std::unordered_map<std::uint64_t, std::uint64_t> m_untagged;
};

} // namespace

ThreadPin::ThreadPin()
{
    const int cpu = ::sched_getcpu();
    if (cpu < 0 || ::sched_getaffinity(0, sizeof m_before, &m_before) != 0)
        return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(static_cast<std::size_t>(cpu), &one);
    m_pinned = ::sched_setaffinity(0, sizeof one, &one) == 0;
}

ThreadPin::~ThreadPin()
{
    if (m_pinned)
        ::sched_setaffinity(0, sizeof m_before, &m_before);
}

EchoLoop::EchoLoop()
{
    if (!m_peer.IsValid())
        return;
    m_peer.SetReceiveTimeout(50ms);
    m_peer.SetBufferSizes(LOAD_BUFFER_BYTES);
    m_thread = std::thread(&EchoLoop::Run, this);
    if (clockid_t clock{}; ::pthread_getcpuclockid(m_thread.native_handle(), &clock) == 0)
        m_cpuClock = clock;
}

EchoLoop::~EchoLoop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void EchoLoop::Run()
{
    NameThread("echo-loop");
    const auto end = LoadClock::now() + HELPER_LIFETIME;
    ReceiveBuffer datagram{};
    sockaddr_in from{};
    while (!m_stop.load(std::memory_order_relaxed) && LoadClock::now() < end) {
        const int length = m_peer.ReceiveFrom(datagram, from);
        if (length < 0)
            continue;
        const auto answer = AcknowledgementFor(Received(datagram, length));
        if (const auto* ack = std::get_if<AckFrame>(&answer); ack != nullptr && m_peer.Reply(*ack, from))
            m_answered.fetch_add(1, std::memory_order_relaxed);
    }
}

SweepSink::SweepSink()
{
    if (!m_peer.IsValid())
        return;
    m_peer.SetReceiveTimeout(50ms);
    m_ticks.reserve(1024);
    m_thread = std::thread([this] {
        NameThread("sweep-sink");
        const auto end = LoadClock::now() + HELPER_LIFETIME;
        ReceiveBuffer datagram{};
        while (!m_stop.load(std::memory_order_relaxed) && LoadClock::now() < end) {
            const int length = m_peer.ReceiveInto(datagram);
            if (length == STATUS_FRAME_LENGTH && datagram[FRAME_COMMAND] == CMD_STATUS) {
                m_ticks.push_back(LoadClock::now());
                ++m_count;
            }
        }
    });
}

SweepSink::~SweepSink()
{
    Stop();
}

std::vector<LoadClock::time_point> SweepSink::Stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    return m_ticks;
}

double WindowedRun::Seconds() const
{
    return checkpoints.size() < 2 ? 0 : ::Seconds(checkpoints.back() - checkpoints.front());
}

double WindowedRun::Rate() const
{
    return Seconds() > 0 ? static_cast<double>(acknowledged) / Seconds() : 0;
}

double WindowedRun::RateBetween(std::size_t first, std::size_t last) const
{
    if (checkpointEvery == 0 || first >= last || last >= checkpoints.size() ||
        acknowledged < last * checkpointEvery)
        return 0;
    return static_cast<double>((last - first) * checkpointEvery) /
           ::Seconds(checkpoints[last] - checkpoints[first]);
}

double WindowedRun::ServerCpuNsPerFrame(std::size_t first, std::size_t last) const
{
    if (checkpointEvery == 0 || first >= last || last >= serverCpuNs.size() ||
        acknowledged < last * checkpointEvery)
        return 0;
    return static_cast<double>(serverCpuNs[last] - serverCpuNs[first]) /
           static_cast<double>((last - first) * checkpointEvery);
}

namespace {

// The frame window of a load: a connected peer, the checkpoints, the sequence numbers.
class WindowClient final
{
public:
    explicit WindowClient(const WindowedLoad& load) : m_load(load)
    {
        m_run.checkpointEvery = load.checkpointEvery;
        m_ready = m_peer.IsValid() && m_peer.ConnectTo(load.port);
        m_peer.SetBufferSizes(LOAD_BUFFER_BYTES);
        m_peer.SetReceiveTimeout(REFILL_AFTER);
        Checkpoint(m_start);
    }

    bool Ready() const { return m_ready; }
    const LoopbackPeer& Peer() const { return m_peer; }
    bool Wanted(const std::atomic<bool>& cancel) const
    {
        return m_run.acknowledged < m_load.frames && !cancel.load(std::memory_order_relaxed);
    }
    bool PastLimit(LoadClock::time_point now) const { return now - m_start > m_load.limit; }
    void Send() { m_peer.Send(StatusFrame(m_sequence++)); }
    void Refilled() { ++m_run.refills; }
    // False for anything but an acknowledgement.
    bool Take(std::span<const std::uint8_t> answer, LoadClock::time_point now)
    {
        if (!IsAck(answer))
            return false;
        ++m_run.acknowledged;
        if (m_load.checkpointEvery != 0 && m_run.acknowledged % m_load.checkpointEvery == 0)
            Checkpoint(now);
        return true;
    }
    WindowedRun Finish()
    {
        if (m_load.checkpointEvery == 0 || m_run.acknowledged % m_load.checkpointEvery != 0)
            Checkpoint(LoadClock::now());
        return std::move(m_run);
    }

private:
    void Checkpoint(LoadClock::time_point at)
    {
        m_run.checkpoints.push_back(at);
        if (m_load.serverClock)
            m_run.serverCpuNs.push_back(ClockNs(*m_load.serverClock));
    }

    const WindowedLoad& m_load;
    WindowedRun m_run;
    LoopbackPeer m_peer;
    bool m_ready{false};
    std::uint32_t m_sequence{0};
    LoadClock::time_point m_start{LoadClock::now()};
};

} // namespace

WindowedRun RunWindowed(const WindowedLoad& load, const std::atomic<bool>& cancel)
{
    WindowClient client(load);
    if (!client.Ready())
        return {};
    const auto sendWindow = [&] {
        for (int i = 0; i < load.window; ++i)
            client.Send();
    };
    sendWindow();
    ReceiveBuffer answer{};
    while (client.Wanted(cancel)) {
        const int length = client.Peer().ReceiveInto(answer);
        const auto now = LoadClock::now();
        if (client.PastLimit(now))
            break;
        if (length < 0) {
            client.Refilled();
            sendWindow();
            continue;
        }
        if (!client.Take(Received(answer, length), now))
            continue;
        // Busy, not asleep: a sleep would add this machine's wake-up to the turnaround.
        if (load.turnaround > LoadClock::duration::zero()) {
            const auto due = now + load.turnaround;
            while (LoadClock::now() < due) {
            }
        }
        client.Send();
    }
    return client.Finish();
}

WindowedRun RunBursty(const WindowedLoad& load, const std::atomic<bool>& cancel)
{
    WindowClient client(load);
    if (!client.Ready())
        return {};
    const int window = std::max(load.window, 1);
    int inFlight = 0;
    ReceiveBuffer answer{};
    while (client.Wanted(cancel)) {
        for (; inFlight < window; ++inFlight)
            client.Send();
        const bool readable =
            client.Peer().WaitReadable(std::chrono::duration_cast<std::chrono::milliseconds>(REFILL_AFTER));
        const auto now = LoadClock::now();
        if (client.PastLimit(now))
            break;
        if (!readable) {
            // Whatever is still out is taken as lost; a late answer only shortens the next window.
            client.Refilled();
            inFlight = 0;
            continue;
        }
        for (int length = client.Peer().TryReceiveInto(answer); length >= 0;
             length = client.Peer().TryReceiveInto(answer)) {
            if (client.Take(Received(answer, length), now))
                inFlight = std::max(inFlight - 1, 0);
        }
    }
    return client.Finish();
}

void PingPongRun::Add(const PingPongRun& other)
{
    roundTripsNs.insert(roundTripsNs.end(), other.roundTripsNs.begin(), other.roundTripsNs.end());
    lost += other.lost;
    seconds += other.seconds;
}

PingPongRun RunPingPong(std::uint16_t port, std::uint64_t frames, LoadClock::duration limit,
                        const std::atomic<bool>& cancel)
{
    PingPongRun run;
    LoopbackPeer peer;
    if (!peer.IsValid() || !peer.ConnectTo(port))
        return run;
    peer.SetReceiveTimeout(200ms);
    run.roundTripsNs.reserve(frames);
    ReceiveBuffer answer{};
    const auto start = LoadClock::now();
    for (std::uint32_t sequence = 0; sequence < frames; ++sequence) {
        if (cancel.load(std::memory_order_relaxed) || LoadClock::now() - start > limit)
            break;
        const auto frame = StatusFrame(sequence);
        const auto sentAt = LoadClock::now();
        peer.Send(frame);
        // A late answer to an earlier frame is passed over; a few at most.
        bool answered = false;
        for (int attempt = 0; attempt < 8 && !answered; ++attempt) {
            const int length = peer.ReceiveInto(answer);
            if (length < 0)
                break;
            answered = IsAck(Received(answer, length)) && answer[1] == frame[1] && answer[2] == frame[2];
        }
        if (answered)
            run.roundTripsNs.push_back(Ns(LoadClock::now() - sentAt));
        else
            ++run.lost;
    }
    run.seconds = Seconds(LoadClock::now() - start);
    return run;
}

StatusFloodRun RunStatusFlood(std::uint16_t port, LoadClock::duration duration,
                              const std::atomic<bool>& cancel)
{
    StatusFloodRun run;
    LoopbackPeer peer;
    if (!peer.IsValid() || !peer.ConnectTo(port))
        return run;
    ReceiveBuffer answer{};
    const auto end = LoadClock::now() + duration;
    for (std::uint32_t sequence = 0; !cancel.load(std::memory_order_relaxed); ++sequence) {
        // The clock and the answers once per batch, so that sending dominates.
        if (sequence % 64 == 0) {
            if (LoadClock::now() >= end)
                break;
            for (int drained = 0; drained < 4096 && peer.TryReceiveInto(answer) >= 0; ++drained)
                ++run.acknowledged;
        }
        run.sent += peer.Send(StatusFrame(sequence)) ? 1 : 0;
    }
    return run;
}

RandomFloodRun RunRandomFlood(std::uint16_t port, std::uint64_t count, std::uint32_t seed,
                              LoadClock::duration limit, const std::atomic<bool>& cancel)
{
    RandomFloodRun run;
    LoopbackPeer peer;
    // The tag has room for 24 bits of sequence number.
    if (!peer.IsValid() || !peer.ConnectTo(port) || count >= (1u << 24))
        return run;
    AnswerCheck check(run);
    ReceiveBuffer answer{};
    std::uint32_t lastAnswered = 0;
    const auto drain = [&] {
        for (int length = peer.TryReceiveInto(answer); length >= 0; length = peer.TryReceiveInto(answer)) {
            if (const auto sequence = check.Take(Received(answer, length)))
                lastAnswered = std::max(lastAnswered, *sequence);
        }
    };

    std::mt19937_64 random(seed);
    std::uniform_int_distribution<int> anyLength(0, LONGEST_DATAGRAM);
    std::uniform_int_distribution<int> answerableLength(FRAME_COMMAND + 1, FRAME_BUFFER_SIZE);
    std::array<std::uint8_t, LONGEST_DATAGRAM + 8> datagram{};
    const auto start = LoadClock::now();
    for (std::uint32_t sequence = 0; sequence < count; ++sequence) {
        if (cancel.load(std::memory_order_relaxed) || LoadClock::now() - start > limit)
            break;
        const bool pacing = sequence % PACING_EVERY == PACING_EVERY - 1;
        const auto length = static_cast<std::size_t>(pacing ? answerableLength(random) : anyLength(random));
        for (std::size_t i = 0; i < length; i += 8) {
            const std::uint64_t word = random();
            for (std::size_t k = 0; k < 8; ++k)
                datagram[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
        }
        if (pacing)
            datagram[FRAME_COMMAND] &= static_cast<std::uint8_t>(~ACK_FLAG);
        const std::array<std::uint8_t, 5> tag{
            static_cast<std::uint8_t>(sequence & 0xFF), static_cast<std::uint8_t>((sequence >> 8) & 0xFF),
            static_cast<std::uint8_t>((sequence >> 16) & 0xFF), MARKER_LOW, MARKER_HIGH};
        std::copy_n(tag.begin(), std::min(tag.size(), length > 0 ? length - 1 : 0), datagram.begin() + 1);
        const auto bytes = std::span(datagram).first(length);
        check.Sent(bytes);
        peer.Send(bytes);
        drain();
        if (!pacing)
            continue;
        // Every datagram before this one has been read once its answer is back.
        const auto giveUp = LoadClock::now() + 1s;
        while (lastAnswered < sequence && LoadClock::now() < giveUp) {
            if (peer.WaitReadable(100ms))
                drain();
        }
        run.stalls += lastAnswered < sequence ? 1 : 0;
    }
    // The last answers, until the centre has been quiet for a while.
    const auto drainEnd = LoadClock::now() + 5s;
    while (LoadClock::now() < drainEnd && peer.WaitReadable(200ms))
        drain();
    run.seconds = Seconds(LoadClock::now() - start);
    return run;
}
