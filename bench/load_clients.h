#pragma once

#include "bench/loopback_socket.h"
#include "protocol/frame.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

// The far sides that load the centre over 127.0.0.1. Each runs on a thread of its own with blocking
// sockets and ends on its target, its time limit or the cancel flag, whichever comes first.

using BenchClock = std::chrono::steady_clock;

// Names the calling thread, as profilers show it (at most 15 characters).
void NameCurrentThread(const char* name);

// A 12-byte status frame whose bytes 1 and 2 carry the low 16 bits of the sequence number.
std::array<std::uint8_t, STATUS_FRAME_LENGTH> SequencedStatusFrame(std::uint32_t sequence);

// What the centre does to a datagram of the given length in the buffer: true, with the buffer turned
// into the 8-byte acknowledgement, when it is answered.
bool Acknowledge(FrameBuffer& buffer, int length);

struct WindowedLoad
{
    std::uint16_t port{0};
    int window{16};
    std::uint64_t target{0};
    std::uint64_t checkpointEvery{10000};
    BenchClock::duration limit{std::chrono::seconds(60)};
    // A lost datagram would otherwise stall the window: after this long without an answer it is refilled.
    std::chrono::milliseconds refillAfter{100};
    // When set, the CPU time of the thread that answers is read at every checkpoint.
    std::optional<clockid_t> serverClock;
};

struct WindowedRun
{
    std::uint64_t acknowledged{0};
    std::uint64_t sent{0};
    std::uint64_t refills{0};
    // [0] is the first send, [k] the arrival of acknowledgement k * checkpointEvery.
    std::vector<BenchClock::time_point> checkpoints;
    std::vector<std::int64_t> serverCpuNs; // beside each checkpoint, when asked for
    bool reachedTarget{false};

    double Rate() const;
    // Acknowledgements per second between two checkpoints; 0 when either was not reached.
    double RateBetween(std::size_t first, std::size_t last, std::uint64_t checkpointEvery) const;
    // The answering thread's CPU time per acknowledgement between two checkpoints; 0 when unknown.
    double ServerCpuNsBetween(std::size_t first, std::size_t last, std::uint64_t checkpointEvery) const;
};

// Keeps `window` frames outstanding: one new frame per acknowledgement.
WindowedRun RunWindowedClient(const WindowedLoad& load, const std::atomic<bool>& cancel);

struct PingPongRun
{
    std::vector<std::int64_t> roundTripsNs;
    std::uint64_t lost{0};
    double seconds{0};

    double Rate() const;
};

// One frame outstanding: each frame waits for its own acknowledgement.
PingPongRun RunPingPong(std::uint16_t port, std::uint64_t count, BenchClock::duration limit,
                        const std::atomic<bool>& cancel);

// Status frames as fast as the socket takes them; acknowledgements are drained and counted.
struct FloodRun
{
    std::uint64_t sent{0};
    std::uint64_t acknowledged{0};
};
FloodRun RunStatusFlood(std::uint16_t port, BenchClock::duration duration, const std::atomic<bool>& cancel);

// Random datagrams of 0 to 2,000 bytes tagged with their sequence number in bytes 1 to 3 and a marker in
// bytes 4 and 5, and the check of every acknowledgement that comes back against what was sent.
struct RandomFloodReport
{
    std::uint64_t sent{0};
    std::uint64_t sentAnswerable{0}; // 1 to 128 bytes with byte 6 below 0x80
    std::uint64_t sentReadable{0};   // 1 to 128 bytes
    std::uint64_t acknowledgements{0};
    std::uint64_t matched{0};
    std::uint64_t forUnanswerable{0};
    std::uint64_t duplicates{0};
    std::uint64_t wrongContent{0};
    std::uint64_t unknown{0};
    double sendSeconds{0};
};
RandomFloodReport RunRandomFlood(std::uint16_t port, std::uint64_t count, std::uint32_t seed,
                                 BenchClock::duration limit, const std::atomic<bool>& cancel);

// The reference centre: a plain blocking read-answer loop on a thread.
class EchoLoop final
{
public:
    EchoLoop();
    ~EchoLoop();
    EchoLoop(const EchoLoop&) = delete;
    EchoLoop& operator=(const EchoLoop&) = delete;

    bool Start();
    void Stop();
    std::uint16_t Port() const { return m_socket.Port(); }
    // Datagrams of 1 to 128 bytes read, and of those the ones answered.
    std::uint64_t Readable() const { return m_readable.load(); }
    std::uint64_t Answered() const { return m_answered.load(); }

private:
    void Run();

    LoopbackSocket m_socket;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_readable{0};
    std::atomic<std::uint64_t> m_answered{0};
    std::thread m_thread;
};

// Receives the sweep frames of automatic sending and notes when each arrived.
class SweepSink final
{
public:
    SweepSink();
    ~SweepSink();
    SweepSink(const SweepSink&) = delete;
    SweepSink& operator=(const SweepSink&) = delete;

    bool Start();
    void Stop();
    std::uint16_t Port() const { return m_socket.Port(); }
    int TickCount() const { return m_count.load(); }
    // Safe to read once stopped.
    const std::vector<BenchClock::time_point>& Ticks() const { return m_ticks; }

private:
    void Run();

    LoopbackSocket m_socket;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::vector<BenchClock::time_point> m_ticks;
    std::thread m_thread;
};
