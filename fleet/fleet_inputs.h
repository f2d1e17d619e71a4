#pragma once

#include "protocol/result.h"

#include <cstdint>
#include <string_view>

namespace veltrano {

// The whole address space: every communicator and device number, 240 x 240 panels.
inline constexpr std::uint32_t PANEL_SPACE = 240 * 240;

// A panel's place in the sweep's order: communicator-major, comm * 240 + dev.
constexpr std::uint32_t PanelIndex(std::uint8_t comm, std::uint8_t dev)
{
    return std::uint32_t{comm} * 240 + dev;
}
constexpr std::uint8_t PanelComm(std::uint32_t index)
{
    return static_cast<std::uint8_t>(index / 240);
}
constexpr std::uint8_t PanelDev(std::uint32_t index)
{
    return static_cast<std::uint8_t>(index % 240);
}

// "C:D", each 0 to 239: the panel's index.
[[nodiscard]] Result<std::uint32_t> ParsePanelNumber(std::string_view text);

// N panels from `first` stay inside the address space, and there is at least one.
[[nodiscard]] Status CheckPanelRange(std::uint32_t first, std::uint64_t count);

// Source addresses, host byte order, both ends included.
struct AddressRange
{
    std::uint32_t first{0};
    std::uint32_t last{0};

    std::uint64_t Size() const { return std::uint64_t{last} - first + 1; }
};

inline constexpr std::uint64_t MAX_SOURCE_ADDRESSES = 65536;

// "A" or "A-B", dotted quads with A <= B, at most MAX_SOURCE_ADDRESSES of them. Says nothing yet of whether
// they are this machine's.
[[nodiscard]] Result<AddressRange> ParseAddressRange(std::string_view text);

constexpr bool IsLoopback(std::uint32_t address)
{
    return (address >> 24) == 127;
}

} // namespace veltrano
