#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace veltrano {

// The rank of a percentile among `count` sorted samples, counted from 1: the nearest rank, rounded up, so
// that p50 of 4 samples is the 2nd and p99 of 100 the 99th. 0 without samples.
std::uint64_t PercentileRank(double fraction, std::uint64_t count);

// Round-trip times in a log-linear histogram: memory stays the same however long a run is, and a
// percentile is off by at most 1/64 of its value. The minimum and maximum are exact.
class RoundTrips final
{
public:
    void Add(std::int64_t microseconds);
    void Merge(const RoundTrips& other);
    std::uint64_t Count() const { return m_count; }
    std::int64_t Min() const { return m_count == 0 ? 0 : m_min; }
    std::int64_t Max() const { return m_max; }
    // The value at PercentileRank(fraction) (fraction 0 to 1); 0 without samples.
    std::int64_t Percentile(double fraction) const;

private:
    static constexpr int SUB_BITS = 6; // 64 buckets per power of two
    static constexpr int SUB_COUNT = 1 << SUB_BITS;
    static constexpr int GROUPS = 64 - SUB_BITS;

    static std::size_t Bucket(std::uint64_t value);
    static std::uint64_t BucketHigh(std::size_t bucket);

    std::array<std::uint64_t, static_cast<std::size_t>((GROUPS + 1) * SUB_COUNT)> m_buckets{};
    std::uint64_t m_count{0};
    std::int64_t m_min{0};
    std::int64_t m_max{0};
};

} // namespace veltrano
