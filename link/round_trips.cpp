#include "link/round_trips.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace veltrano {

std::uint64_t PercentileRank(double fraction, std::uint64_t count)
{
    if (count == 0)
        return 0;
    const double exact = std::clamp(fraction, 0.0, 1.0) * static_cast<double>(count);
    // A product that lands a hair above a whole number by rounding is that number.
    const double whole = std::round(exact);
    const double rank = std::abs(exact - whole) < 1e-9 ? whole : std::ceil(exact);
    return std::clamp<std::uint64_t>(static_cast<std::uint64_t>(rank), 1, count);
}

std::size_t RoundTrips::Bucket(std::uint64_t value)
{
    // Values below SUB_COUNT have a bucket each; above, a group per power of two split SUB_COUNT ways.
    if (value < SUB_COUNT)
        return static_cast<std::size_t>(value);
    const int group = std::bit_width(value) - SUB_BITS; // 1 for 64..127
    const std::uint64_t sub = (value >> (group - 1)) - SUB_COUNT;
    return static_cast<std::size_t>(group) * SUB_COUNT + static_cast<std::size_t>(sub);
}

std::uint64_t RoundTrips::BucketHigh(std::size_t bucket)
{
    const std::size_t group = bucket / SUB_COUNT;
    const std::uint64_t sub = bucket % SUB_COUNT;
    if (group == 0)
        return sub;
    return ((SUB_COUNT + sub + 1) << (group - 1)) - 1;
}

void RoundTrips::Add(std::int64_t microseconds)
{
    const std::int64_t value = std::max<std::int64_t>(microseconds, 0);
    ++m_buckets[Bucket(static_cast<std::uint64_t>(value))];
    m_min = m_count == 0 ? value : std::min(m_min, value);
    m_max = std::max(m_max, value);
    ++m_count;
}

void RoundTrips::Merge(const RoundTrips& other)
{
    if (other.m_count == 0)
        return;
    for (std::size_t i = 0; i < m_buckets.size(); ++i)
        m_buckets[i] += other.m_buckets[i];
    m_min = m_count == 0 ? other.m_min : std::min(m_min, other.m_min);
    m_max = std::max(m_max, other.m_max);
    m_count += other.m_count;
}

std::int64_t RoundTrips::Percentile(double fraction) const
{
    const std::uint64_t rank = PercentileRank(fraction, m_count);
    if (rank == 0)
        return 0;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < m_buckets.size(); ++i) {
        seen += m_buckets[i];
        if (seen >= rank)
            return std::clamp(static_cast<std::int64_t>(BucketHigh(i)), m_min, m_max);
    }
    return m_max;
}

} // namespace veltrano
