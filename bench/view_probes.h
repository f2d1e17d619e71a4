#pragma once

#include "bench/load_clients.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

class QScrollBar;

// When each paint of the watched widgets began and how long the widget took over it.
class PaintRecorder final
{
public:
    // Wall time includes any time the thread was preempted; CPU time is what the paint itself cost.
    struct Paint
    {
        BenchClock::time_point start;
        std::int64_t wallNs{0};
        std::int64_t cpuNs{0};
    };

    void Watch(const QObject* widget);
    bool IsWatched(const QObject* widget) const;
    void SetRecording(bool recording) { m_recording = recording; }
    void Record(const QObject* widget, const Paint& paint);
    void Clear();

    std::size_t Count() const;
    std::size_t CountOf(const QObject* widget) const;
    std::int64_t LongestWallNs() const;
    std::int64_t LongestCpuNs() const;
    // Time between consecutive paints of the same widget, over all watched widgets.
    std::vector<std::int64_t> IntervalsNs() const;

private:
    std::vector<std::pair<const QObject*, std::vector<Paint>>> m_widgets;
    bool m_recording{false};
};

// The application, timing the paint events of the watched widgets as they are delivered.
class BenchApplication final : public QApplication
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BenchApplication)

public:
    BenchApplication(int& argc, char** argv);
    ~BenchApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;
    PaintRecorder& Paints() { return m_paints; }

private:
    PaintRecorder m_paints;
};

// Steps scroll bars on a timer, as an operator scrolling through the lists would.
class ScrollProbe final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ScrollProbe)

public:
    ScrollProbe(std::vector<QScrollBar*> bars, int periodMs);
    ~ScrollProbe() override;

    void Start() { m_timer.start(); }
    void Stop() { m_timer.stop(); }
    int Steps() const { return m_steps; }

private:
    void OnTimer();

    std::vector<QScrollBar*> m_bars;
    QTimer m_timer;
    int m_steps{0};
};

// Runs the event loop until the condition holds or the limit passes; true when it held.
class EventLoopWaiter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventLoopWaiter)

public:
    EventLoopWaiter();
    ~EventLoopWaiter() override;

    bool Wait(std::function<bool()> done, std::chrono::milliseconds limit);

private:
    void OnPoll();

    QEventLoop m_loop;
    QTimer m_poll;
    std::function<bool()> m_done;
    BenchClock::time_point m_deadline;
    bool m_held{false};
};

bool RunEventLoopUntil(std::function<bool()> done, std::chrono::milliseconds limit);
