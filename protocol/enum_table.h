#pragma once

#include <cstddef>
#include <type_traits>

namespace veltrano {

// The row of a table whose rows follow an enum's values from 0, in place of a switch that repeats it; a
// value past the rows (none the code makes) gives the last.
template <typename Row, std::size_t N, typename Enum>
constexpr const Row& RowOf(const Row (&rows)[N], Enum value)
{
    static_assert(std::is_enum_v<Enum>);
    const auto index = static_cast<std::size_t>(value);
    return rows[index < N ? index : N - 1];
}

} // namespace veltrano
