#pragma once

#include "tests/support/loopback_peer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include <sched.h>
#include <time.h>

// Load over 127.0.0.1: a reference centre and the far sides that drive a centre. Each client runs on the
// calling thread with a blocking LoopbackPeer and returns at its target, its time limit or the cancel flag,
// whichever comes first.

using LoadClock = std::chrono::steady_clock;

// Pins the calling thread to the CPU it runs on while it lives, then restores what the thread was allowed
// before; threads started meanwhile inherit the pinning. With one frame outstanding a centre and its client
// only take turns: on one CPU neither waits for the other's CPU to wake, which on a virtual machine costs
// tens of microseconds and which pairs the scheduler splits up is chance.
class ThreadPin final
{
public:
    ThreadPin();
    ~ThreadPin();
    ThreadPin(const ThreadPin&) = delete;
    ThreadPin& operator=(const ThreadPin&) = delete;

private:
    cpu_set_t m_before{};
    bool m_pinned{false};
};

// The reference centre: a plain blocking read-answer loop on a thread of its own, answering as
// AcknowledgementFor does. Runs from construction to destruction.
class EchoLoop final
{
public:
    EchoLoop();
    ~EchoLoop();
    EchoLoop(const EchoLoop&) = delete;
    EchoLoop& operator=(const EchoLoop&) = delete;

    std::uint16_t Port() const { return m_peer.Port(); }
    std::uint64_t Answered() const { return m_answered.load(); }
    // The CPU clock of the loop's thread, for its cost per frame.
    std::optional<clockid_t> CpuClock() const { return m_cpuClock; }

private:
    void Run();

    LoopbackPeer m_peer;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_answered{0};
    std::thread m_thread;
    std::optional<clockid_t> m_cpuClock;
};

// Notes when each sweep frame (a 12-byte status frame) arrives. Runs from construction until Stop.
class SweepSink final
{
public:
    SweepSink();
    ~SweepSink();
    SweepSink(const SweepSink&) = delete;
    SweepSink& operator=(const SweepSink&) = delete;

    std::uint16_t Port() const { return m_peer.Port(); }
    std::size_t Count() const { return m_count.load(); }
    // Ends the thread and hands over the arrival times.
    std::vector<LoadClock::time_point> Stop();

private:
    LoopbackPeer m_peer;
    std::atomic<bool> m_stop{false};
    std::atomic<std::size_t> m_count{0};
    std::vector<LoadClock::time_point> m_ticks;
    std::thread m_thread;
};

// Keeps `window` status frames outstanding: RunWindowed sends one new frame per acknowledgement, RunBursty
// sends until `window` are in flight and then drains every acknowledgement waiting before it sends again.
struct WindowedLoad
{
    std::uint16_t port{0};
    int window{16};
    std::uint64_t frames{100000};     // acknowledgements to wait for
    std::uint64_t checkpointEvery{0}; // 0: the start and the end only
    LoadClock::duration limit{std::chrono::seconds(60)};
    std::optional<clockid_t> serverClock; // the answering thread's CPU clock, read at every checkpoint
    // The closed loop's time at work on each acknowledgement before it sends again, as a panel's firmware
    // might take: the server's next frame comes that much later.
    LoadClock::duration turnaround{0};
};

struct WindowedRun
{
    std::uint64_t acknowledged{0};
    std::uint64_t refills{0}; // windows sent again after 100 ms without an answer
    std::uint64_t checkpointEvery{0};
    // [0] the first send, [k] acknowledgement k * checkpointEvery, then the end when it falls between.
    std::vector<LoadClock::time_point> checkpoints;
    std::vector<std::int64_t> serverCpuNs;

    double Seconds() const;
    double Rate() const;
    // Between two checkpoints; 0 when either was not reached.
    double RateBetween(std::size_t first, std::size_t last) const;
    double ServerCpuNsPerFrame(std::size_t first, std::size_t last) const;
};
WindowedRun RunWindowed(const WindowedLoad& load, const std::atomic<bool>& cancel);
// The window's answers come back in bursts: a centre that waits for a full batch, or answers one per wake-up,
// falls behind here where the closed loop hides it.
WindowedRun RunBursty(const WindowedLoad& load, const std::atomic<bool>& cancel);

// One frame outstanding: each waits for its own acknowledgement.
struct PingPongRun
{
    std::vector<std::int64_t> roundTripsNs;
    std::uint64_t lost{0};
    double seconds{0};

    double Rate() const { return seconds > 0 ? static_cast<double>(roundTripsNs.size()) / seconds : 0; }
    void Add(const PingPongRun& other);
};
PingPongRun RunPingPong(std::uint16_t port, std::uint64_t frames, LoadClock::duration limit,
                        const std::atomic<bool>& cancel);

// Status frames as fast as the socket takes them; acknowledgements are drained and counted.
struct StatusFloodRun
{
    std::uint64_t sent{0};
    std::uint64_t acknowledged{0};
};
StatusFloodRun RunStatusFlood(std::uint16_t port, LoadClock::duration duration,
                              const std::atomic<bool>& cancel);

// Random datagrams of 0 to 2,000 bytes, tagged with their sequence number, every answer checked against
// what was sent. Every 32nd datagram is an answerable frame the sender waits for, so that no more than 32
// are ever queued at the centre and none is dropped there: every datagram is read.
struct RandomFloodRun
{
    std::uint64_t sent{0};
    std::uint64_t readable{0};   // 1 to 128 bytes
    std::uint64_t answerable{0}; // those AcknowledgementFor answers
    std::uint64_t matched{0};    // answers equal to the one due to a datagram not answered before
    std::uint64_t duplicates{0};
    std::uint64_t unexpected{0}; // no answer was due, or not this one
    std::uint64_t stalls{0};     // waits for a pacing frame given up after a second
    double seconds{0};
};
RandomFloodRun RunRandomFlood(std::uint16_t port, std::uint64_t count, std::uint32_t seed,
                              LoadClock::duration limit, const std::atomic<bool>& cancel);
