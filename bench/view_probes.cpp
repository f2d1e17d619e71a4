#include "bench/view_probes.h"

#include <QEvent>
#include <QScrollBar>

#include <algorithm>

#include <time.h>

namespace {

// How often the waiting loop looks at its condition; short against every phase, long against a frame.
constexpr int kPollPeriodMs = 5;
// An odd stride visits rows all over a long list rather than neighbouring ones.
constexpr int kScrollStride = 7919;

std::int64_t ThreadCpuNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

} // namespace

void PaintRecorder::Watch(const QObject* widget)
{
    if (!IsWatched(widget))
        m_widgets.emplace_back(widget, std::vector<Paint>{});
}

bool PaintRecorder::IsWatched(const QObject* widget) const
{
    return std::any_of(m_widgets.begin(), m_widgets.end(),
                       [widget](const auto& watched) { return watched.first == widget; });
}

void PaintRecorder::Record(const QObject* widget, const Paint& paint)
{
    if (!m_recording)
        return;
    for (auto& [watched, paints] : m_widgets) {
        if (watched == widget)
            paints.push_back(paint);
    }
}

void PaintRecorder::Clear()
{
    for (auto& watched : m_widgets)
        watched.second.clear();
}

std::size_t PaintRecorder::Count() const
{
    std::size_t count = 0;
    for (const auto& watched : m_widgets)
        count += watched.second.size();
    return count;
}

std::size_t PaintRecorder::CountOf(const QObject* widget) const
{
    for (const auto& [watched, paints] : m_widgets) {
        if (watched == widget)
            return paints.size();
    }
    return 0;
}

std::int64_t PaintRecorder::LongestWallNs() const
{
    std::int64_t longest = 0;
    for (const auto& watched : m_widgets) {
        for (const Paint& paint : watched.second)
            longest = std::max(longest, paint.wallNs);
    }
    return longest;
}

std::int64_t PaintRecorder::LongestCpuNs() const
{
    std::int64_t longest = 0;
    for (const auto& watched : m_widgets) {
        for (const Paint& paint : watched.second)
            longest = std::max(longest, paint.cpuNs);
    }
    return longest;
}

std::vector<std::int64_t> PaintRecorder::IntervalsNs() const
{
    std::vector<std::int64_t> intervals;
    for (const auto& watched : m_widgets) {
        const std::vector<Paint>& paints = watched.second;
        for (std::size_t i = 1; i < paints.size(); ++i)
            intervals.push_back(
                std::chrono::duration_cast<std::chrono::nanoseconds>(paints[i].start - paints[i - 1].start)
                    .count());
    }
    return intervals;
}

BenchApplication::BenchApplication(int& argc, char** argv) : QApplication(argc, argv) {}

BenchApplication::~BenchApplication() = default;

bool BenchApplication::notify(QObject* receiver, QEvent* event)
{
    if (event->type() != QEvent::Paint || !m_paints.IsWatched(receiver))
        return QApplication::notify(receiver, event);
    const std::int64_t cpuStart = ThreadCpuNs();
    const auto start = BenchClock::now();
    const bool handled = QApplication::notify(receiver, event);
    const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(BenchClock::now() - start);
    m_paints.Record(receiver, {start, wall.count(), ThreadCpuNs() - cpuStart});
    return handled;
}

ScrollProbe::ScrollProbe(std::vector<QScrollBar*> bars, int periodMs) : m_bars(std::move(bars))
{
    m_timer.setInterval(periodMs);
    connect(&m_timer, &QTimer::timeout, this, &ScrollProbe::OnTimer);
}

ScrollProbe::~ScrollProbe() = default;

void ScrollProbe::OnTimer()
{
    ++m_steps;
    for (QScrollBar* bar : m_bars) {
        const qint64 span = static_cast<qint64>(bar->maximum()) + 1;
        bar->setValue(static_cast<int>((bar->value() + kScrollStride) % std::max<qint64>(1, span)));
    }
}

EventLoopWaiter::EventLoopWaiter()
{
    m_poll.setInterval(kPollPeriodMs);
    connect(&m_poll, &QTimer::timeout, this, &EventLoopWaiter::OnPoll);
}

EventLoopWaiter::~EventLoopWaiter() = default;

bool EventLoopWaiter::Wait(std::function<bool()> done, std::chrono::milliseconds limit)
{
    m_done = std::move(done);
    m_deadline = BenchClock::now() + limit;
    m_held = m_done();
    if (m_held)
        return true;
    m_poll.start();
    m_loop.exec();
    m_poll.stop();
    return m_held;
}

void EventLoopWaiter::OnPoll()
{
    m_held = m_done();
    if (m_held || BenchClock::now() >= m_deadline)
        m_loop.quit();
}

bool RunEventLoopUntil(std::function<bool()> done, std::chrono::milliseconds limit)
{
    EventLoopWaiter waiter;
    return waiter.Wait(std::move(done), limit);
}
