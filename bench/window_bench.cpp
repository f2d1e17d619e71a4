// The console under load over 127.0.0.1, with the real dialog and its event loop: throughput and memory
// while both lists grow to a million lines, the timer and the views under a flood, round trips with one
// frame outstanding, the cost of painting the views, and a flood of random datagrams checked answer by
// answer. Every figure is printed with its goal; the summary lines feed scripts/run-benches.sh.
//
// window_bench [--lines=N] [--flood=N]   (defaults: 1,000,000 lines per list, 1,000,000 flood datagrams)

#include "bench/bench_report.h"
#include "bench/load_clients.h"
#include "bench/loopback_socket.h"
#include "bench/view_probes.h"
#include "ui/frame_list_view.h"
#include "ui/host_center_app.h"
#include "ui/host_center_dlg.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>
#include <type_traits>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr auto kLoopback = "127.0.0.1";
constexpr int kWindow = 16;
constexpr std::uint64_t kEchoFrames = 300000;
constexpr std::uint64_t kPingPongFrames = 30000;
constexpr int kPingPongRounds = 6;
constexpr std::uint32_t kFloodSeed = 20240611;
constexpr auto kSteadyFloodTime = 5s;
constexpr int kScrollProbePeriodMs = 20;
constexpr std::uint64_t kSettleLines = 2000;

struct Settings
{
    std::uint64_t lines{1000000};
    std::uint64_t floodDatagrams{1000000};
};

Settings ParseSettings(const QStringList& arguments)
{
    Settings settings;
    for (const QString& argument : arguments) {
        bool ok = false;
        if (argument.startsWith(u"--lines="_s)) {
            const auto lines = argument.mid(8).toULongLong(&ok);
            if (ok && lines >= 100)
                settings.lines = lines;
        } else if (argument.startsWith(u"--flood="_s)) {
            const auto count = argument.mid(8).toULongLong(&ok);
            if (ok && count > 0 && count < (1u << 24))
                settings.floodDatagrams = count;
        }
    }
    return settings;
}

std::size_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0;
    std::size_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

double Milliseconds(std::int64_t nanoseconds)
{
    return static_cast<double>(nanoseconds) / 1e6;
}

double Microseconds(double nanoseconds)
{
    return nanoseconds / 1e3;
}

double Seconds(BenchClock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

// Runs the work on a thread of its own while this thread serves the console's event loop. Past the limit
// the work is cancelled; its own limits bound it in any case.
template <typename Work>
auto LoadWhileServing(Work work, std::chrono::milliseconds limit,
                      const std::function<void()>& whileLoading = {})
{
    using Result = std::invoke_result_t<Work, const std::atomic<bool>&>;
    std::atomic<bool> cancel{false};
    std::atomic<bool> done{false};
    Result result{};
    std::thread worker([&] {
        NameCurrentThread("bench-load");
        result = work(cancel);
        done = true;
    });
    const auto finished = [&done] { return done.load(); };
    const auto start = BenchClock::now();
    if (whileLoading)
        whileLoading();
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(limit - (BenchClock::now() - start));
    if (!RunEventLoopUntil(finished, std::max(left, 0ms))) {
        std::printf("  (phase limit reached, stopping the load)\n");
        cancel = true;
        RunEventLoopUntil(finished, 30s);
    }
    worker.join();
    return result;
}

// Lets queued paints and timers run for a while.
void ServeFor(std::chrono::milliseconds time)
{
    RunEventLoopUntil([] { return false; }, time);
}

// The reference centre with 16 outstanding, measured while the console idles in its event loop.
double EchoWindowedRate()
{
    EchoLoop echo;
    if (!echo.Start())
        return 0;
    WindowedLoad load;
    load.port = echo.Port();
    load.window = kWindow;
    load.target = kEchoFrames;
    load.checkpointEvery = kEchoFrames / 10;
    load.limit = 20s;
    const WindowedRun run = LoadWhileServing(
        [&load](const std::atomic<bool>& cancel) { return RunWindowedClient(load, cancel); }, 25s);
    BenchReport::Note("echo loop, 16 outstanding", FormatNumber(run.Rate()) + " frames/s");
    return run.Rate();
}

PingPongRun PingPongWhileServing(std::uint16_t port, std::uint64_t count)
{
    return LoadWhileServing(
        [port, count](const std::atomic<bool>& cancel) { return RunPingPong(port, count, 15s, cancel); },
        20s);
}

void Pool(PingPongRun& into, const PingPongRun& run)
{
    into.roundTripsNs.insert(into.roundTripsNs.end(), run.roundTripsNs.begin(), run.roundTripsNs.end());
    into.lost += run.lost;
    into.seconds += run.seconds;
}

std::string RoundTrips(const PingPongRun& run)
{
    return FormatNumber(run.Rate()) + " frames/s, lost " + FormatCount(run.lost) + ", round trip p50 " +
           FormatNumber(Microseconds(Percentile(run.roundTripsNs, 0.5)), 1) + " us, p99 " +
           FormatNumber(Microseconds(Percentile(run.roundTripsNs, 0.99)), 1) + " us";
}

std::string AcknowledgementBreakdown(const RandomFloodReport& flood)
{
    return "acknowledgements " + FormatCount(flood.acknowledgements) + ", matched " +
           FormatCount(flood.matched) + ", for unanswerable " + FormatCount(flood.forUnanswerable) +
           ", duplicates " + FormatCount(flood.duplicates) + ", wrong content " +
           FormatCount(flood.wrongContent) + ", unknown " + FormatCount(flood.unknown);
}

// The dialog and what the bench reaches in it, found by the controls' object names.
class Console final
{
public:
    explicit Console(BenchApplication& app) : m_app(app)
    {
        CHostCenterDlg::SetMessageHook([this](const QString& text) { m_messages.push_back(text); });
    }
    ~Console()
    {
        if (m_dialog)
            m_dialog->OnStop();
        m_dialog.reset();
        CHostCenterDlg::SetMessageHook(nullptr);
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Shows the dialog and starts the centre on a port the system picks; false with the reason printed.
    bool Open()
    {
        m_dialog.emplace();
        // The default destination is not on this machine: nothing may be sent before it is replaced.
        if (!SetText("IDC_DEST_IP", QString::fromLatin1(kLoopback)) || !DestinationIsLoopback()) {
            std::printf("cannot set the destination address to %s\n", kLoopback);
            return false;
        }
        SetText("IDC_SOURCE_PORT", u"0"_s);
        m_dialog->show();
        ServeFor(200ms);
        Click("IDC_START");
        m_port = BoundPort(m_dialog->m_endpoint.GetHandle());
        m_received = m_dialog->findChild<FrameListView*>(u"IDC_RECV_LIST"_s);
        m_sent = m_dialog->findChild<FrameListView*>(u"IDC_SENT_LIST"_s);
        if (m_port == 0 || m_received == nullptr || m_sent == nullptr || !m_messages.empty()) {
            std::printf("the console did not start (port %u, messages %zu)\n", unsigned{m_port},
                        m_messages.size());
            return false;
        }
        for (FrameListView* list : {m_received, m_sent}) {
            m_app.Paints().Watch(list->viewport());
            m_app.Paints().Watch(list->verticalScrollBar());
        }
        return true;
    }

    bool SetText(const char* name, const QString& text)
    {
        auto* edit = m_dialog->findChild<QLineEdit*>(QString::fromLatin1(name));
        if (edit == nullptr)
            return false;
        edit->setText(text);
        return true;
    }

    bool Click(const char* name)
    {
        auto* button = m_dialog->findChild<QAbstractButton*>(QString::fromLatin1(name));
        if (button == nullptr || !button->isEnabled())
            return false;
        button->click();
        return true;
    }

    bool DestinationIsLoopback() const
    {
        const auto* edit = m_dialog->findChild<QLineEdit*>(u"IDC_DEST_IP"_s);
        return edit != nullptr && edit->text() == QString::fromLatin1(kLoopback);
    }

    std::uint16_t Port() const { return m_port; }
    std::uint64_t Lines() const { return m_received->count() + m_sent->count(); }

    void PrintMessages()
    {
        for (const QString& message : m_messages)
            std::printf("  console message: %s\n", message.toUtf8().constData());
        m_messages.clear();
    }

    FrameListView* Received() const { return m_received; }
    FrameListView* Sent() const { return m_sent; }

private:
    BenchApplication& m_app;
    std::optional<CHostCenterDlg> m_dialog;
    std::vector<QString> m_messages;
    FrameListView* m_received{nullptr};
    FrameListView* m_sent{nullptr};
    std::uint16_t m_port{0};
};

// Longest paint seen by the recorder over the phases that record.
struct PaintTotals
{
    std::int64_t longestWallNs{0};
    std::int64_t longestCpuNs{0};
    std::size_t paints{0};

    void Take(const PaintRecorder& recorder)
    {
        longestWallNs = std::max(longestWallNs, recorder.LongestWallNs());
        longestCpuNs = std::max(longestCpuNs, recorder.LongestCpuNs());
        paints += recorder.Count();
    }
    void Take(const PaintTotals& phase)
    {
        longestWallNs = std::max(longestWallNs, phase.longestWallNs);
        longestCpuNs = std::max(longestCpuNs, phase.longestCpuNs);
        paints += phase.paints;
    }
    void Note() const
    {
        BenchReport::Note("longest view paint", FormatNumber(Milliseconds(longestCpuNs), 2) + " ms CPU, " +
                                                    FormatNumber(Milliseconds(longestWallNs), 2) +
                                                    " ms wall, of " + FormatCount(paints) + " paints");
    }
};

void MeasureGrowth(BenchReport& report, Console& console, BenchApplication& app, const Settings& settings,
                   PaintTotals& totals)
{
    std::printf("\n-- 16 outstanding until both lists hold %s lines\n", FormatCount(settings.lines).c_str());
    // The reference runs just before and just after, so that both see the machine as the centre does.
    const double echoBefore = EchoWindowedRate();
    const std::size_t residentBefore = ResidentBytes();
    const std::uint64_t linesBefore = console.Lines();
    PaintRecorder& paints = app.Paints();
    paints.Clear();
    // The views settle first: the scroll bars appear and the first rows are painted.
    const auto settle = [&console, &paints, linesBefore] {
        RunEventLoopUntil(
            [&console, linesBefore] {
                return console.Lines() >= linesBefore + kSettleLines &&
                       console.Received()->verticalScrollBar()->isVisible() &&
                       console.Sent()->verticalScrollBar()->isVisible();
            },
            5s);
        ServeFor(100ms);
        paints.SetRecording(true);
    };

    WindowedLoad load;
    load.port = console.Port();
    load.window = kWindow;
    load.target = settings.lines;
    load.checkpointEvery = settings.lines / 100;
    load.limit = 240s;
    clockid_t centreClock{};
    if (::pthread_getcpuclockid(::pthread_self(), &centreClock) == 0)
        load.serverClock = centreClock;
    const WindowedRun run = LoadWhileServing(
        [&load](const std::atomic<bool>& cancel) { return RunWindowedClient(load, cancel); }, 250s, settle);
    // The last acknowledgements can reach the client before their lines reach the lists.
    RunEventLoopUntil(
        [&] {
            return console.Received()->count() >= settings.lines && console.Sent()->count() >= settings.lines;
        },
        5s);
    paints.SetRecording(false);
    const std::size_t residentAfter = ResidentBytes();
    const std::uint64_t linesAdded = console.Lines() - linesBefore;
    const double echoRate = (echoBefore + EchoWindowedRate()) / 2;

    BenchReport::Note("lines", "received " + FormatCount(console.Received()->count()) + ", sent " +
                                   FormatCount(console.Sent()->count()) + ", refills after a lost frame " +
                                   FormatCount(run.refills));
    const double rate = run.Rate();
    const double empty = run.RateBetween(0, 10, load.checkpointEvery);
    const double full = run.RateBetween(90, 100, load.checkpointEvery);
    std::string tenths;
    for (std::size_t tenth = 0; tenth < 10; ++tenth)
        tenths += (tenth == 0 ? "" : ", ") +
                  FormatNumber(run.RateBetween(tenth * 10, tenth * 10 + 10, load.checkpointEvery) / 1000, 1) +
                  "k";
    BenchReport::Note("rate by tenth of the lines", tenths);
    BenchReport::Note("rate over the first 10% of lines", FormatNumber(empty) + " frames/s");
    // CPU time per frame does not depend on what else the machine runs, so it shows what the lists cost.
    BenchReport::Note("centre CPU per frame, first and last 10% of lines",
                      FormatNumber(run.ServerCpuNsBetween(0, 10, load.checkpointEvery) / 1000, 2) + " us, " +
                          FormatNumber(run.ServerCpuNsBetween(90, 100, load.checkpointEvery) / 1000, 2) +
                          " us");
    BenchReport::Note("rate over the last 10% of lines", FormatNumber(full) + " frames/s");
    report.Add("acknowledged frames/s, 16 outstanding, lists growing to " + FormatCount(settings.lines),
               FormatNumber(rate), ">= 40,000", run.reachedTarget && rate >= 40000);
    const double ratioToEcho = echoRate > 0 ? rate / echoRate : 0;
    report.Add("centre / echo loop rate, 16 outstanding",
               FormatNumber(ratioToEcho, 2) + " (echo " + FormatNumber(echoRate) + "/s)", ">= 0.30",
               ratioToEcho >= 0.3);
    const double ratioFull = empty > 0 ? full / empty : 0;
    report.Add("rate at full lists / rate at empty lists", FormatNumber(ratioFull, 2), ">= 0.80",
               ratioFull >= 0.8);

    const double perLine = linesAdded > 0
                               ? (static_cast<double>(residentAfter) - static_cast<double>(residentBefore)) /
                                     static_cast<double>(linesAdded)
                               : 0;
    const double storePerLine = linesAdded > 0
                                    ? static_cast<double>(console.Received()->Store().AllocatedBytes() +
                                                          console.Sent()->Store().AllocatedBytes()) /
                                          static_cast<double>(console.Lines())
                                    : 0;
    BenchReport::Note("list store bytes per line", FormatNumber(storePerLine, 1));
    report.Add("resident memory growth per list line", FormatNumber(perLine, 1) + " bytes", "<= 48",
               linesAdded > 0 && perLine <= 48);

    // The view's coalescing while frames arrive as fast as the centre takes them.
    const std::vector<std::int64_t> intervals = paints.IntervalsNs();
    BenchReport::Note("view paints while growing", FormatCount(paints.Count()));
    if (intervals.empty()) {
        report.Add("view repaint interval while growing", "no repaints", "16 to 40 ms", false);
    } else {
        const double shortest = Milliseconds(*std::min_element(intervals.begin(), intervals.end()));
        const auto under = std::count_if(intervals.begin(), intervals.end(),
                                         [](std::int64_t interval) { return interval < 16000000; });
        BenchReport::Note("intervals under 16 ms", FormatCount(static_cast<std::uint64_t>(under)) + " of " +
                                                       FormatCount(intervals.size()));
        const double median = Percentile(intervals, 0.5) / 1e6;
        // A paint held up by the machine's load, followed by one on time, gives a single short interval:
        // the first percentile shows whether the view paints too often.
        const double low = Percentile(intervals, 0.01) / 1e6;
        report.Add("shortest interval between paints of a view, 1st percentile",
                   FormatNumber(low, 1) + " ms (shortest " + FormatNumber(shortest, 1) + " ms)", ">= 16 ms",
                   low >= 16);
        report.Add("median interval between paints of a view", FormatNumber(median, 1) + " ms", "16 to 40 ms",
                   median >= 16 && median <= 40);
    }
    PaintTotals phase;
    phase.Take(paints);
    phase.Note();
    totals.Take(phase);
    console.PrintMessages();
}

void MeasureFirstPaint(BenchReport& report, Console& console, BenchApplication& app)
{
    std::printf("\n-- forced paint of the full lists\n");
    app.Paints().SetRecording(false);
    double longest = 0;
    for (FrameListView* list : {console.Received(), console.Sent()}) {
        QScrollBar* bar = list->verticalScrollBar();
        // Each position is painted here for the first time: the update that scrolling asks for waits.
        for (const int position : {bar->maximum() / 2, bar->maximum(), 0}) {
            bar->setValue(position);
            QElapsedTimer timer;
            timer.start();
            list->viewport()->repaint();
            longest = std::max(longest, Milliseconds(timer.nsecsElapsed()));
            ServeFor(30ms);
        }
        bar->setValue(0);
    }
    report.Add("paint of a " + FormatCount(console.Received()->count()) + "-line list (forced repaint)",
               FormatNumber(longest, 2) + " ms", "< 50 ms", longest < 50);
}

void MeasureOneOutstanding(BenchReport& report, Console& console, BenchApplication& app, PaintTotals& totals)
{
    std::printf("\n-- one frame outstanding, lists growing\n");
    EchoLoop echoLoop;
    if (!echoLoop.Start()) {
        report.Add("centre / echo loop rate, 1 outstanding", "no echo loop", ">= 0.60", false);
        return;
    }
    // Alternating rounds, so that a change in the machine's load touches both sides alike.
    PingPongRun echo;
    PingPongRun run;
    PaintTotals phase;
    for (int round = 0; round < kPingPongRounds; ++round) {
        Pool(echo, PingPongWhileServing(echoLoop.Port(), kPingPongFrames / kPingPongRounds));
        app.Paints().Clear();
        app.Paints().SetRecording(true);
        Pool(run, PingPongWhileServing(console.Port(), kPingPongFrames / kPingPongRounds));
        app.Paints().SetRecording(false);
        phase.Take(app.Paints());
    }
    echoLoop.Stop();
    phase.Note();
    totals.Take(phase);
    BenchReport::Note("echo loop, 1 outstanding", RoundTrips(echo));
    BenchReport::Note("centre, 1 outstanding", RoundTrips(run));

    const double p50 = Percentile(run.roundTripsNs, 0.5);
    const double p99 = Percentile(run.roundTripsNs, 0.99);
    const double echoP50 = Percentile(echo.roundTripsNs, 0.5);
    const double echoP99 = Percentile(echo.roundTripsNs, 0.99);
    const double rateRatio = echo.Rate() > 0 ? run.Rate() / echo.Rate() : 0;
    report.Add("centre / echo loop rate, 1 outstanding", FormatNumber(rateRatio, 2), ">= 0.60",
               rateRatio >= 0.6);
    const double p50Ratio = echoP50 > 0 ? p50 / echoP50 : 0;
    report.Add("round trip p50 / echo loop's",
               FormatNumber(p50Ratio, 2) + " (" + FormatNumber(Microseconds(p50), 1) + " us vs " +
                   FormatNumber(Microseconds(echoP50), 1) + " us)",
               "<= 1.5", !run.roundTripsNs.empty() && p50Ratio <= 1.5);
    const bool p99Met = !run.roundTripsNs.empty() && (p99 <= 2 * echoP99 || p99 <= 200e3);
    report.Add("round trip p99",
               FormatNumber(Microseconds(p99), 1) + " us (echo loop " +
                   FormatNumber(Microseconds(echoP99), 1) + " us)",
               "<= 2x echo loop's or <= 200 us", p99Met);
    console.PrintMessages();
}

void MeasureResponsiveness(BenchReport& report, Console& console, BenchApplication& app, PaintTotals& totals)
{
    std::printf("\n-- automatic sending while a flood of status frames arrives\n");
    SweepSink sink;
    if (!sink.Start() || !console.DestinationIsLoopback()) {
        report.Add("largest gap between timer ticks under a flood", "not run", "< 1.2 s", false);
        return;
    }
    console.SetText("IDC_DEST_PORT", QString::number(sink.Port()));
    console.Click("IDC_AUTO_SEND");
    if (!RunEventLoopUntil([&sink] { return sink.TickCount() >= 1; }, 2500ms)) {
        console.Click("IDC_AUTO_STOP");
        sink.Stop();
        report.Add("largest gap between timer ticks under a flood", "no tick before the flood", "< 1.2 s",
                   false);
        console.PrintMessages();
        return;
    }

    std::vector<QScrollBar*> bars{console.Received()->verticalScrollBar(),
                                  console.Sent()->verticalScrollBar()};
    ScrollProbe probe(bars, kScrollProbePeriodMs);
    PaintRecorder& paints = app.Paints();
    paints.Clear();
    paints.SetRecording(true);
    const std::uint64_t linesBefore = console.Lines();
    const std::uint16_t port = console.Port();

    const auto floodStart = BenchClock::now();
    probe.Start();
    const FloodRun flood = LoadWhileServing(
        [port](const std::atomic<bool>& cancel) { return RunStatusFlood(port, kSteadyFloodTime, cancel); },
        7s);
    probe.Stop();
    const auto floodEnd = BenchClock::now();
    paints.SetRecording(false);
    const double floodSeconds = Seconds(floodEnd - floodStart);
    const std::size_t viewportPaints =
        paints.CountOf(console.Received()->viewport()) + paints.CountOf(console.Sent()->viewport());
    PaintTotals phase;
    phase.Take(paints);
    phase.Note();
    totals.Take(phase);

    // A tick held up by the flood would arrive just after it.
    const int ticksAtEnd = sink.TickCount();
    RunEventLoopUntil([&sink, ticksAtEnd] { return sink.TickCount() > ticksAtEnd; }, 1500ms);
    console.Click("IDC_AUTO_STOP");
    sink.Stop();

    const std::vector<BenchClock::time_point>& ticks = sink.Ticks();
    double largestGap = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        if (ticks[i] > floodStart && ticks[i - 1] < floodEnd)
            largestGap = std::max(largestGap, Seconds(ticks[i] - ticks[i - 1]));
    }
    if (!ticks.empty() && ticks.back() < floodEnd)
        largestGap = std::max(largestGap, Seconds(floodEnd - ticks.back()));

    BenchReport::Note("flood", FormatCount(flood.sent) + " status frames sent in " +
                                   FormatNumber(floodSeconds, 1) + " s, " +
                                   FormatCount(console.Lines() - linesBefore) + " list lines added, " +
                                   FormatCount(ticks.size()) + " sweep frames received");
    BenchReport::Note("scroll steps served", FormatNumber(probe.Steps() / floodSeconds, 1) + "/s of " +
                                                 FormatNumber(1000.0 / kScrollProbePeriodMs) + "/s asked");
    report.Add("largest gap between timer ticks under a flood", FormatNumber(largestGap, 3) + " s", "< 1.2 s",
               ticks.size() >= 2 && largestGap < 1.2);
    const double paintRate = static_cast<double>(viewportPaints) / floodSeconds;
    report.Add("list viewport repaints/s under a flood (scrolled each 20 ms)", FormatNumber(paintRate, 1),
               ">= 10", paintRate >= 10);
    console.PrintMessages();
}

void MeasureRandomFlood(BenchReport& report, Console& console, BenchApplication& app,
                        const Settings& settings, PaintTotals& totals)
{
    std::printf("\n-- %s random datagrams of 0 to 2,000 bytes\n",
                FormatCount(settings.floodDatagrams).c_str());
    // The check itself first, against the reference centre, whose answers are known.
    {
        EchoLoop echo;
        echo.Start();
        const std::uint16_t echoPort = echo.Port();
        const std::uint64_t calibration = std::max<std::uint64_t>(settings.floodDatagrams / 10, 1000);
        const RandomFloodReport reference = LoadWhileServing(
            [echoPort, calibration](const std::atomic<bool>& cancel) {
                return RunRandomFlood(echoPort, calibration, kFloodSeed, 60s, cancel);
            },
            70s);
        echo.Stop();
        BenchReport::Note("sender, against the echo loop", AcknowledgementBreakdown(reference));
        const bool agrees = reference.sent == calibration && reference.acknowledgements == echo.Answered() &&
                            reference.matched == reference.acknowledgements && echo.Answered() > 0;
        report.Add("random flood check against the echo loop",
                   FormatCount(reference.matched) + " matched of " + FormatCount(echo.Answered()) +
                       " answered",
                   "all matched", agrees);
    }

    const std::uint64_t receivedBefore = console.Received()->count();
    const std::uint64_t sentBefore = console.Sent()->count();
    const std::uint16_t port = console.Port();
    const std::uint64_t count = settings.floodDatagrams;
    app.Paints().Clear();
    app.Paints().SetRecording(true);
    const RandomFloodReport flood = LoadWhileServing(
        [port, count](const std::atomic<bool>& cancel) {
            return RunRandomFlood(port, count, kFloodSeed, 120s, cancel);
        },
        150s);
    app.Paints().SetRecording(false);
    PaintTotals phase;
    phase.Take(app.Paints());
    phase.Note();
    totals.Take(phase);
    const std::uint64_t receivedLines = console.Received()->count() - receivedBefore;
    const std::uint64_t sentLines = console.Sent()->count() - sentBefore;

    BenchReport::Note("sent", FormatCount(flood.sent) + " in " + FormatNumber(flood.sendSeconds, 1) +
                                  " s; 1 to 128 bytes " + FormatCount(flood.sentReadable) +
                                  ", of which answerable " + FormatCount(flood.sentAnswerable));
    BenchReport::Note("centre", "received-list lines " + FormatCount(receivedLines) + ", sent-list lines " +
                                    FormatCount(sentLines));
    BenchReport::Note("sender", AcknowledgementBreakdown(flood));

    report.Add("random flood: acknowledgements received = sent-list lines added",
               FormatCount(flood.acknowledgements) + " / " + FormatCount(sentLines), "equal",
               flood.sent == count && flood.acknowledgements == sentLines);
    const std::uint64_t faults =
        flood.forUnanswerable + flood.duplicates + flood.wrongContent + flood.unknown;
    report.Add("random flood: acknowledgements not matching one answerable datagram", FormatCount(faults),
               "0", faults == 0 && flood.matched == flood.acknowledgements);
    // Lines can only come from datagrams the centre could read, answers only from lines.
    const bool consistent = receivedLines <= flood.sentReadable && sentLines <= receivedLines &&
                            sentLines <= flood.sentAnswerable && receivedLines > 0;
    report.Add("random flood: lines within what was sent (received <= readable, sent <= received)",
               FormatCount(receivedLines) + " / " + FormatCount(sentLines), "within", consistent);

    // The program stays up and keeps answering.
    const PingPongRun after = LoadWhileServing(
        [port](const std::atomic<bool>& stop) { return RunPingPong(port, 100, 5s, stop); }, 10s);
    report.Add("answers after the flood", FormatCount(after.roundTripsNs.size()) + " of 100", "100 of 100",
               after.roundTripsNs.size() == 100);
    console.PrintMessages();
}

} // namespace

int main(int argc, char** argv)
{
    // Progress shows as it happens, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The program's own start-up choices, so that the bench measures the program as it runs.
    CHostCenterApp::PrepareEnvironment();
    BenchApplication app(argc, argv);
    const Settings settings = ParseSettings(QCoreApplication::arguments());
    BenchReport report;

    Console console(app);
    if (!console.Open()) {
        console.PrintMessages();
        return 1;
    }
    PaintTotals totals;
    MeasureGrowth(report, console, app, settings, totals);
    MeasureFirstPaint(report, console, app);
    MeasureOneOutstanding(report, console, app, totals);
    MeasureResponsiveness(report, console, app, totals);
    MeasureRandomFlood(report, console, app, settings, totals);
    // Judged on the paint's own CPU time: on a busy machine the wall time also counts other threads' turns.
    report.Add("longest paint of a list view (viewport or scroll bar)",
               FormatNumber(Milliseconds(totals.longestCpuNs), 2) + " ms CPU (" +
                   FormatNumber(Milliseconds(totals.longestWallNs), 2) + " ms wall)",
               "< 5 ms", totals.paints > 0 && totals.longestCpuNs < 5000000);
    report.PrintSummary();
    return 0;
}
