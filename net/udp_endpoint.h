#pragma once

#include "net/linger.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

class QSocketNotifier;

inline constexpr int INVALID_SOCKET = -1;

// Wall-clock time in microseconds since the Unix epoch, as frames are stamped.
std::int64_t WallClockUs();

// A moment on both clocks: the wall clock for what the operator reads, the monotonic one for the times
// between lines.
struct FrameTime
{
    std::int64_t wallUs{0};
    std::chrono::steady_clock::time_point mono;
};

// Stamps on both clocks for the price of one reading. The wall clock runs at the monotonic clock's rate and
// parts from it only when it is set, so their difference is read afresh once a millisecond: a wall clock
// that was set shows in the stamps within that.
class FrameClock final
{
public:
    static constexpr std::chrono::milliseconds RESYNC_PERIOD{1};

    FrameTime Now();

private:
    void Resync(std::chrono::steady_clock::time_point before);

    std::chrono::steady_clock::time_point m_syncedAt;
    std::chrono::nanoseconds m_wallMinusMono{0};
    bool m_synced{false};
};

// What a read took from the socket.
struct ReadResult
{
    // The datagram's size (1 to 128), 0 for an empty one, -1 when nothing waits, the endpoint is closed,
    // or the datagram was longer than the buffer (it is consumed; its first 128 bytes stay in the buffer).
    int length{-1};
    veltrano::Endpoint sender;
    std::int64_t timeUs{0};                   // wall clock when it was read, microseconds since the epoch
    std::chrono::steady_clock::time_point at; // the same moment on the monotonic clock
};

// What a send did: the bytes handed to the system, or -1 with the system's error number.
struct SendResult
{
    int sent{-1};
    int error{0};

    bool Succeeded() const { return sent >= 0; }
};

// The one UDP/IPv4 socket: bound on all interfaces to the source port, non-blocking, with no socket option.
// It emits DatagramWaiting when a datagram can be read; after that the next signal comes only once a read
// has been made, so each signal asks for exactly one read and datagrams are handled in arrival order. When
// the read leaves more waiting, or one comes within the Linger's wait, the next signal follows at once,
// up to SIGNALS_PER_WAKE per notification, before the event loop gets its turn again. The datagram a signal
// announces is already off the socket: taking it is how the endpoint learns that one waits. One receive
// call takes every datagram that waits, up to READ_AHEAD, and each is then signalled in turn.
class CUdpEndpoint final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUdpEndpoint)

public:
    // Few enough that timers and paints keep their turn under a flood.
    static constexpr int SIGNALS_PER_WAKE = 32;

    explicit CUdpEndpoint(QObject* parent = nullptr);
    ~CUdpEndpoint() override;

    // Only the low 16 bits of port are used (host byte order; 0 lets the system pick). True only if every
    // step succeeded; a failed bind leaves the socket open. On an endpoint that already holds a socket it
    // returns false and leaves that socket, its binding and its signals untouched.
    bool Open(int port);
    // The close's result when a socket was held, -1 when already closed.
    int Close();
    bool IsOpen() const { return m_socket != INVALID_SOCKET; }
    int GetHandle() const { return m_socket; }
    // The bound port in host byte order; 0 when closed or unbound.
    std::uint16_t LocalPort() const;

    // One datagram of the first (size AND 0xFF) bytes to the destination. Never waits:
    // a send the system cannot take at once fails.
    SendResult SendTo(const veltrano::Endpoint& to, std::span<const std::uint8_t> bytes) const;

    // One datagram into the buffer; re-arms the signal.
    ReadResult ReadDatagram(veltrano::FrameBuffer& buffer);
    // Now, on the clock that stamps what is read: for the frames sent in answer.
    FrameTime Now() { return m_clock.Now(); }

    // Every datagram costs one socket notification, and Qt's plain poll dispatcher handles them at about
    // twice the rate of the GLib one. Call before the application object exists; a QT_NO_GLIB already in
    // the environment is left as it is.
    static void PreferPollDispatcher();

Q_SIGNALS:
    void DatagramWaiting();
    // After the last DatagramWaiting of a notification, before the event loop's turn: the time for what the
    // receiver keeps until the datagrams that wait are answered.
    void SignalsDone();

private:
    // A datagram taken off the socket ahead of its signal.
    struct Held
    {
        veltrano::FrameBuffer bytes{};
        std::size_t size{0}; // the datagram's real size, which can exceed the buffer
        veltrano::Endpoint sender;
    };

    void OnActivated();
    // Takes the next datagram for the signal about to announce it, which tells the Linger it came; false
    // when none waits.
    bool Hold();
    // The next datagram read ahead, or a new read of up to READ_AHEAD; false when none waits.
    bool TakeNext();
    // Datagrams read ahead wait for a signal the socket no longer gives: the event loop's next turn gives it.
    void WakeForReadAhead();

    int m_socket{INVALID_SOCKET};
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_awaitingRead{false}; // signalled, and not read since
    bool m_holding{false};      // m_ahead[m_next - 1] is signalled and not read yet
    // One receive call takes what waits, up to this many: the signals still announce one datagram each.
    static constexpr std::size_t READ_AHEAD = 16;
    std::array<Held, READ_AHEAD> m_ahead{};
    std::size_t m_aheadCount{0}; // read into m_ahead
    std::size_t m_next{0};       // of m_ahead, the next to hold
    QTimer m_wake;
    bool m_signalling{false}; // in OnActivated, which looks at what was read ahead as it ends
    FrameClock m_clock;
    // After an answered datagram the next is often microseconds away: waiting for it spares the event loop a
    // poll and a wake-up.
    Linger m_linger;
};
