#include "cli/rtt_stats.h"

#include <algorithm>
#include <bit>
#include <cmath>

std::size_t RttStats::Bucket(std::uint64_t value)
{
    // Values below SUB_COUNT have a bucket each; above, a group per power of two split SUB_COUNT ways.
    if (value < SUB_COUNT)
        return static_cast<std::size_t>(value);
    const int group = std::bit_width(value) - SUB_BITS; // 1 for 64..127
    const std::uint64_t sub = (value >> (group - 1)) - SUB_COUNT;
    return static_cast<std::size_t>(group) * SUB_COUNT + static_cast<std::size_t>(sub);
}

std::uint64_t RttStats::BucketHigh(std::size_t bucket)
{
    const std::size_t group = bucket / SUB_COUNT;
    const std::uint64_t sub = bucket % SUB_COUNT;
    if (group == 0)
        return sub;
    return ((SUB_COUNT + sub + 1) << (group - 1)) - 1;
}

void RttStats::Add(std::int64_t microseconds)
{
    const auto value = static_cast<std::uint64_t>(std::max<std::int64_t>(microseconds, 0));
    ++m_buckets[Bucket(value)];
    ++m_count;
    m_max = std::max(m_max, static_cast<std::int64_t>(value));
}

std::int64_t RttStats::Percentile(double fraction) const
{
    if (m_count == 0)
        return 0;
    const auto rank =
        static_cast<std::uint64_t>(std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(m_count)));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < m_buckets.size(); ++i) {
        seen += m_buckets[i];
        if (seen >= std::max<std::uint64_t>(rank, 1))
            return std::min(static_cast<std::int64_t>(BucketHigh(i)), m_max);
    }
    return m_max;
}
