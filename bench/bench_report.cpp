#include "bench/bench_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

void BenchReport::Add(std::string figure, std::string measured, std::string goal, bool met)
{
    std::printf("%s: %s (goal %s) %s\n", figure.c_str(), measured.c_str(), goal.c_str(),
                met ? "OK" : "MISSED");
    std::fflush(stdout);
    m_figures.push_back({std::move(figure), std::move(measured), std::move(goal), met});
}

void BenchReport::Note(const std::string& figure, const std::string& value)
{
    std::printf("%s: %s\n", figure.c_str(), value.c_str());
    std::fflush(stdout);
}

void BenchReport::PrintSummary() const
{
    std::printf("\n");
    for (const Figure& figure : m_figures)
        std::printf("RESULT|%s|%s|%s|%s\n", figure.name.c_str(), figure.measured.c_str(), figure.goal.c_str(),
                    figure.met ? "OK" : "MISSED");
    std::fflush(stdout);
}

bool BenchReport::AllMet() const
{
    return std::all_of(m_figures.begin(), m_figures.end(), [](const Figure& figure) { return figure.met; });
}

std::string FormatNumber(double value, int decimals)
{
    if (!std::isfinite(value))
        return "n/a";
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.*f", decimals, std::fabs(value));
    std::string text = digits;
    const std::size_t point = text.find('.');
    std::size_t group = point == std::string::npos ? text.size() : point;
    while (group > 3) {
        group -= 3;
        text.insert(group, 1, ',');
    }
    return value < 0 ? "-" + text : text;
}

std::string FormatCount(std::uint64_t value)
{
    return FormatNumber(static_cast<double>(value));
}

double Percentile(std::vector<std::int64_t> values, double fraction)
{
    if (values.empty())
        return 0;
    const auto rank =
        static_cast<std::size_t>(std::clamp(std::ceil(fraction * static_cast<double>(values.size())) - 1, 0.0,
                                            static_cast<double>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank), values.end());
    return static_cast<double>(values[rank]);
}
