// Display line cost on the receive path: the table-driven formatter against re-formatting the accumulated
// line once per byte with "%s %02X".
#include "protocol/frame.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string ReformattingLine(std::span<const std::uint8_t> frame)
{
    char head[8];
    std::snprintf(head, sizeof head, "%02X ", frame[0]);
    std::string result = head;
    std::string accumulator;
    const std::size_t shown = std::min<std::size_t>(frame[0], frame.size());
    std::vector<char> next;
    for (std::size_t i = 0; i < shown; ++i) {
        next.resize(accumulator.size() + 4);
        std::snprintf(next.data(), next.size(), "%s %02X", accumulator.c_str(), frame[i]);
        result = next.data();
        accumulator = result;
    }
    return result;
}

FrameBuffer FrameOfLength(std::uint8_t length)
{
    FrameBuffer frame{};
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(i * 29 + 3);
    frame[0] = length;
    return frame;
}

void BM_FormatFrameHex(benchmark::State& state)
{
    const FrameBuffer frame = FrameOfLength(static_cast<std::uint8_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(FormatFrameHex(frame));
}
BENCHMARK(BM_FormatFrameHex)->Arg(12)->Arg(128);

void BM_ReformattingReference(benchmark::State& state)
{
    const FrameBuffer frame = FrameOfLength(static_cast<std::uint8_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(ReformattingLine(frame));
}
BENCHMARK(BM_ReformattingReference)->Arg(12)->Arg(128);

template <typename Format>
double NanosecondsPerCall(const FrameBuffer& frame, Format format, int iterations)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i)
        benchmark::DoNotOptimize(format(frame));
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / iterations;
}

double SpeedUp(std::uint8_t length)
{
    constexpr int ITERATIONS = 20000;
    const FrameBuffer frame = FrameOfLength(length);
    const double fast = NanosecondsPerCall(frame, FormatFrameHex, ITERATIONS);
    const double reference = NanosecondsPerCall(frame, ReformattingLine, ITERATIONS);
    return reference / fast;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double short12 = SpeedUp(12);
    const double full128 = SpeedUp(128);
    std::printf("FormatFrameHex speed-up vs reference: 12-byte %.1fx, 128-byte %.1fx\n", short12, full128);
    constexpr double goal = 20.0;
    std::printf("RESULT|display line speed-up, 12-byte frame|%.0fx|>= 20x|%s\n", short12,
                short12 >= goal ? "OK" : "MISSED");
    std::printf("RESULT|display line speed-up, 128-byte frame|%.0fx|>= 20x|%s\n", full128,
                full128 >= goal ? "OK" : "MISSED");
    return 0;
}
