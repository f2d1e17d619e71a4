#include "protocol/frame.h"

namespace veltrano {

namespace {

enum class ScanState
{
    High,
    Low,
    Gap,
};

} // namespace

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::uint8_t HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<std::uint8_t>(c - 'a' + 10);
    return 0;
}

Result<std::size_t> ParseCommandText(std::string_view text, FrameBuffer& buffer)
{
    // Bytes are written as they are scanned, so a rejected text leaves its leading bytes in the buffer and
    // a trailing lone digit leaves its high nibble at index count; the custom command relies on neither.
    std::size_t count = 0;
    const auto refused = [] { return Failure("not hex pairs separated by single spaces"); };
    ScanState state = ScanState::High;
    for (const char c : text) {
        switch (state) {
        case ScanState::High:
            // The form limits the text to 255 characters (at most 85 bytes), but the parser takes any text:
            // one that would start a byte past the buffer is rejected instead of writing out of bounds.
            if (!IsHexDigit(c) || count >= buffer.size())
                return refused();
            buffer[count] = static_cast<std::uint8_t>(HexDigitValue(c) << 4);
            state = ScanState::Low;
            break;
        case ScanState::Low:
            if (!IsHexDigit(c))
                return refused();
            buffer[count] = static_cast<std::uint8_t>(buffer[count] + HexDigitValue(c));
            ++count;
            state = ScanState::Gap;
            break;
        case ScanState::Gap:
            if (c != ' ')
                return refused();
            state = ScanState::High;
            break;
        }
    }
    return count;
}

} // namespace veltrano
