#include "protocol/frame.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace {

// Two upper-case digits for every byte value, so each byte costs one lookup.
constexpr std::array<std::array<char, 2>, 256> HEX_PAIRS = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 2>, 256> pairs{};
    for (std::size_t value = 0; value < pairs.size(); ++value)
        pairs[value] = {digits[value >> 4], digits[value & 0x0F]};
    return pairs;
}();

// Length of a display line group: a space and two digits.
constexpr std::size_t GROUP_WIDTH = 3;

// " XX" for every byte, each group a space and two upper-case digits.
std::string Groups(std::span<const std::uint8_t> bytes)
{
    std::string line(bytes.size() * GROUP_WIDTH, ' ');
    char* out = line.data();
    for (const std::uint8_t byte : bytes) {
        std::memcpy(out + 1, HEX_PAIRS[byte].data(), 2);
        out += GROUP_WIDTH;
    }
    return line;
}

} // namespace

std::uint8_t FrameChecksum(std::span<const std::uint8_t> frame)
{
    if (frame.empty())
        return 0;
    const std::size_t length = frame[FRAME_LENGTH];
    if (length < 2)
        return 0;
    // A length byte beyond the span sums what the span holds rather than reading past it.
    const auto summed = frame.first(std::min(length - 1, frame.size()));
    const unsigned sum = std::accumulate(summed.begin(), summed.end(), 0U);
    return static_cast<std::uint8_t>(sum & 0xFFU);
}

std::string FormatFrameHex(std::span<const std::uint8_t> frame)
{
    if (frame.empty())
        return {};
    const std::size_t length = frame[FRAME_LENGTH];
    if (length == 0)
        return std::string{"00 "};

    // Received frames may claim more bytes than the buffer holds; show only what it holds.
    return Groups(frame.first(std::min(length, frame.size())));
}

std::string FormatBytesHex(std::span<const std::uint8_t> bytes)
{
    std::string line = Groups(bytes);
    if (!line.empty())
        line.erase(0, 1);
    return line;
}

std::string FormatDatagramHex(std::span<const std::uint8_t> datagram)
{
    if (datagram.empty())
        return {};
    const std::size_t length = datagram[FRAME_LENGTH];
    if (length <= datagram.size())
        return FormatFrameHex(datagram);
    FrameBuffer buffer{};
    std::copy_n(datagram.begin(), std::min(datagram.size(), buffer.size()), buffer.begin());
    return FormatFrameHex(buffer);
}
