#include "protocol/frame.h"
#include "protocol/hex.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace veltrano {

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

void AppendHexByte(std::string& out, std::uint8_t value)
{
    out.append(HEX_PAIRS[value].data(), 2);
}

std::string FormatBytesHex(std::span<const std::uint8_t> bytes)
{
    std::string line;
    AppendBytesHex(line, bytes);
    return line;
}

void AppendBytesHex(std::string& out, std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return;
    const std::size_t start = out.size();
    out.resize(start + bytes.size() * GROUP_WIDTH - 1, ' ');
    char* to = out.data() + start;
    for (const std::uint8_t byte : bytes) {
        std::memcpy(to, HEX_PAIRS[byte].data(), 2);
        to += GROUP_WIDTH;
    }
}

void AppendDatagramHex(std::string& out, std::span<const std::uint8_t> datagram)
{
    if (datagram.empty())
        return;
    const std::size_t length = datagram[FRAME_LENGTH];
    if (length == 0) {
        out += "00 ";
        return;
    }
    // Bytes the datagram lacks show as the zeros of a cleared receive buffer, up to its 128 bytes.
    const std::size_t shown = length <= datagram.size() ? length : std::min(length, FRAME_BUFFER_SIZE);
    const std::size_t held = std::min(shown, datagram.size());
    const std::size_t start = out.size();
    out.resize(start + shown * GROUP_WIDTH, ' ');
    char* to = out.data() + start;
    for (std::size_t i = 0; i < shown; ++i, to += GROUP_WIDTH)
        std::memcpy(to + 1, HEX_PAIRS[i < held ? datagram[i] : 0].data(), 2);
}

Result<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text)
{
    // The text as a one-line message shows it: printable, and not too long.
    const auto quoted = [text] {
        constexpr std::size_t SHOWN = 40;
        std::string shown;
        for (const char c : text.substr(0, SHOWN))
            shown += (c >= 0x20 && c < 0x7F) ? c : '?';
        return '"' + shown + (text.size() > SHOWN ? "...\"" : "\"");
    };
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (blank(text[i])) {
            ++i;
            continue;
        }
        if (!IsHexDigit(text[i]))
            return Failure("not a hex digit at column " + std::to_string(i + 1) + " of " + quoted());
        if (i + 1 >= text.size() || !IsHexDigit(text[i + 1]))
            return Failure("odd hex digit at column " + std::to_string(i + 1) + " of " + quoted());
        if (bytes.size() == MAX_UDP_PAYLOAD)
            return Failure("more than " + std::to_string(MAX_UDP_PAYLOAD) + " bytes");
        bytes.push_back(static_cast<std::uint8_t>(HexDigitValue(text[i]) << 4 | HexDigitValue(text[i + 1])));
        i += 2;
    }
    if (bytes.empty())
        return Failure("no bytes");
    return bytes;
}

std::string FormatDatagramHex(std::span<const std::uint8_t> datagram)
{
    std::string line;
    AppendDatagramHex(line, datagram);
    return line;
}

} // namespace veltrano
