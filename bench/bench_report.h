#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <time.h>

// Figures against their goals. Each goes out as a line that scripts/run-benches.sh collects into its table:
//   RESULT|<figure>|<measured>|<goal>|<OK or MISSED>
inline void Report(const std::string& figure, const std::string& measured, const std::string& goal, bool met)
{
    std::printf("RESULT|%s|%s|%s|%s\n", figure.c_str(), measured.c_str(), goal.c_str(),
                met ? "OK" : "MISSED");
    std::fflush(stdout);
}

// A figure without a goal, for whoever reads the log.
inline void Note(const std::string& figure, const std::string& value)
{
    std::printf("  %s: %s\n", figure.c_str(), value.c_str());
    std::fflush(stdout);
}

// CPU time the calling thread has used, whatever else the machine runs.
inline std::int64_t ThreadCpuNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Fixed-point text with the thousands grouped: 41,250.3
inline std::string Fixed(double value, int decimals = 0)
{
    if (!std::isfinite(value))
        return "n/a";
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.*f", decimals, std::fabs(value));
    std::string text = digits;
    for (auto group = std::min(text.find('.'), text.size()); group > 3;) {
        group -= 3;
        text.insert(group, 1, ',');
    }
    return value < 0 ? "-" + text : text;
}

// The value at the fraction (0 to 1) of the sorted values; 0 when there are none.
inline double Percentile(std::vector<std::int64_t> values, double fraction)
{
    if (values.empty())
        return 0;
    const auto rank =
        static_cast<std::size_t>(std::clamp(std::ceil(fraction * static_cast<double>(values.size())) - 1, 0.0,
                                            static_cast<double>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank), values.end());
    return static_cast<double>(values[rank]);
}

// Google Benchmark's console output, keeping each benchmark's runs for the goals afterwards.
class KeepingReporter final : public benchmark::ConsoleReporter
{
public:
    explicit KeepingReporter(bool colour) : ConsoleReporter(colour ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                m_runs[Key(run)].push_back(run);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The median over the repetitions of "name" or "name/args": of a counter, or else of the CPU time per
    // iteration. 0 when the benchmark did not run.
    double Median(const std::string& name, const std::string& counter = {}) const
    {
        const auto found = m_runs.find(name);
        if (found == m_runs.end())
            return 0;
        std::vector<double> values;
        for (const Run& run : found->second) {
            const auto value = run.counters.find(counter);
            values.push_back(value != run.counters.end() ? value->second.value : run.GetAdjustedCPUTime());
        }
        std::sort(values.begin(), values.end());
        const std::size_t middle = values.size() / 2;
        return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    }

private:
    static std::string Key(const Run& run)
    {
        const auto& name = run.run_name;
        return name.args.empty() ? name.function_name : name.function_name + "/" + name.args;
    }

    std::map<std::string, std::vector<Run>> m_runs;
};
