// Without a window: the display line against per-byte re-formatting, and the centre's receive path (engine,
// a counting console, the event loop) against the plain echo loop, both with 16 frames outstanding over
// 127.0.0.1.
#include "bench/bench_report.h"
#include "bench/load_clients.h"
#include "engine/host_center_engine.h"
#include "protocol/frame.h"
#include "tests/support/recording_console.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace veltrano;

namespace {

constexpr std::uint64_t FRAMES = 100000;
constexpr int REPETITIONS = 5;
const std::atomic<bool> NEVER_CANCELLED{false};

// The accumulated line re-formatted with "%s %02X" for every byte.
std::string PerByteLine(std::span<const std::uint8_t> frame)
{
    std::string line;
    std::vector<char> next;
    for (const std::uint8_t byte : frame.first(std::min<std::size_t>(frame[0], frame.size()))) {
        next.resize(line.size() + 4);
        std::snprintf(next.data(), next.size(), "%s %02X", line.c_str(), byte);
        line = next.data();
    }
    return line;
}

std::vector<std::uint8_t> FrameOf(std::int64_t length)
{
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(i * 29 + 3);
    frame[0] = static_cast<std::uint8_t>(length);
    return frame;
}

void BM_DisplayLine(benchmark::State& state)
{
    const auto frame = FrameOf(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(FormatDatagramHex(frame));
}
BENCHMARK(BM_DisplayLine)->Arg(12)->Arg(128);

void BM_PerByteLine(benchmark::State& state)
{
    const auto frame = FrameOf(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(PerByteLine(frame));
}
BENCHMARK(BM_PerByteLine)->Arg(12)->Arg(128);

WindowedLoad Load(std::uint16_t port)
{
    WindowedLoad load;
    load.port = port;
    load.frames = FRAMES;
    return load;
}

void Record(benchmark::State& state, const WindowedRun& run)
{
    state.SetIterationTime(run.Seconds());
    state.counters["frames_per_s"] = run.Rate();
    if (run.acknowledged < FRAMES)
        state.SkipWithError("not every frame was acknowledged");
}

void BM_EchoLoop(benchmark::State& state)
{
    for (auto _ : state) {
        const EchoLoop echo;
        Record(state, RunWindowed(Load(echo.Port()), NEVER_CANCELLED));
    }
}
BENCHMARK(BM_EchoLoop)
    ->Iterations(1)
    ->Repetitions(REPETITIONS)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The engine serves the event loop on this thread while the client runs on another, as the echo loop does.
void BM_CentrePath(benchmark::State& state)
{
    RecordingConsole console;
    console.keepLines = false;
    CHostCenterEngine engine(console);
    engine.OnStart();
    if (engine.ListeningPort() == 0) {
        state.SkipWithError("the centre did not start");
        return;
    }
    for (auto _ : state) {
        QEventLoop loop;
        WindowedRun run;
        const std::int64_t cpu = ThreadCpuNs();
        std::thread client([&] {
            run = RunWindowed(Load(engine.ListeningPort()), NEVER_CANCELLED);
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        loop.exec();
        client.join();
        Record(state, run);
        // What the centre's thread spent on each frame, whatever else the machine runs.
        state.counters["centre_cpu_us"] = static_cast<double>(ThreadCpuNs() - cpu) / 1e3 /
                                          static_cast<double>(std::max<std::uint64_t>(run.acknowledged, 1));
    }
}
BENCHMARK(BM_CentrePath)
    ->Iterations(1)
    ->Repetitions(REPETITIONS)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    CUdpEndpoint::PreferPollDispatcher();
    QCoreApplication app(argc, argv);
    // Echo and centre repetitions take turns, so that a change in the machine's load touches both alike.
    std::vector<char*> arguments(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave.data());
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data()))
        return 1;
    // The summary script reads the output through a pipe, where colour codes are noise.
    KeepingReporter reporter(::isatty(STDOUT_FILENO) != 0);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // Only the figures whose benchmarks ran: a filter may have left some out.
    for (const char* length : {"12", "128"}) {
        const double line = reporter.Median(std::string("BM_DisplayLine/") + length);
        const double perByte = reporter.Median(std::string("BM_PerByteLine/") + length);
        const double speedUp = line > 0 ? perByte / line : 0;
        if (line > 0 || perByte > 0)
            Report(std::string("display line against per-byte re-formatting, ") + length + "-byte frame",
                   Fixed(speedUp) + "x faster", ">= 20x", speedUp >= 20);
    }
    const double echo = reporter.Median("BM_EchoLoop", "frames_per_s");
    const double centre = reporter.Median("BM_CentrePath", "frames_per_s");
    const double ratio = echo > 0 ? centre / echo : 0;
    if (echo > 0 || centre > 0)
        Report("centre path without a window / plain echo loop, 16 outstanding",
               Fixed(ratio, 2) + " (" + Fixed(centre) + " vs " + Fixed(echo) + " frames/s)", ">= 0.40",
               ratio >= 0.4);
    return 0;
}
