#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Figures measured against their goals. Each is printed as it is added, and the summary repeats them as
// lines of the form RESULT|<figure>|<measured>|<goal>|<OK or MISSED>, which scripts/run-benches.sh
// collects from every bench into one table.
class BenchReport final
{
public:
    BenchReport() = default;

    void Add(std::string figure, std::string measured, std::string goal, bool met);
    // A figure without a goal: printed now, not in the summary.
    static void Note(const std::string& figure, const std::string& value);
    void PrintSummary() const;
    bool AllMet() const;

private:
    struct Figure
    {
        std::string name;
        std::string measured;
        std::string goal;
        bool met{false};
    };
    std::vector<Figure> m_figures;
};

// Fixed-point text with thousands separators for large values: 41,250.3
std::string FormatNumber(double value, int decimals = 0);
std::string FormatCount(std::uint64_t value);
// The value at the given fraction (0 to 1) of the sorted values; 0 when there are none.
double Percentile(std::vector<std::int64_t> values, double fraction);
