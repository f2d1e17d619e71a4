// Arbitrary operator text through the hex command parser, then the parsed buffer through the
// checksum and the display line. Nothing may be written or read outside the 128-byte buffer.
#include "protocol/frame.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace veltrano;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FrameBuffer buffer{};
    buffer.fill(0xAA);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Result<std::size_t> result = ParseCommandText(text, buffer);

    // Every complete byte takes two digits and, between bytes, one space.
    if (result && (*result > buffer.size() || *result * 3 > size + 1 || (size > 1 && *result == 0)))
        std::abort();
    if (!result && result.error().empty())
        std::abort();

    const std::string line = FormatFrameHex(buffer);
    const std::size_t shown = buffer[0] == 0 ? 0 : std::min<std::size_t>(buffer[0], buffer.size());
    if (line.size() != (shown == 0 ? 3 : shown * 3))
        std::abort();
    (void)FrameChecksum(buffer);
    return 0;
}
