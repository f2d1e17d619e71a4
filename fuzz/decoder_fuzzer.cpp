// Arbitrary datagrams through the frame decoder, its ASCII summary and its Chinese description. Nothing
// may be read outside the datagram, and the decoding must stay within what the datagram holds.
#include "protocol/frame_decoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

using namespace veltrano;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> datagram(data, size);
    const DecodedFrame frame = DecodeFrame(datagram);

    if (frame.size != size || frame.statusCount > 4 || frame.findings.Bits() > 0x7F)
        std::abort();
    if (frame.statusCount > 0 && 7U + frame.statusCount > size)
        std::abort();
    if ((frame.checksum == ChecksumState::Bad) != frame.findings.Has(Finding::BadChecksum))
        std::abort();
    if (frame.findings.Has(Finding::LengthMismatch) != (size > 0 && frame.declaredLength != size))
        std::abort();

    // The summary is one line of printable ASCII; the description has no trailing newline.
    const std::string summary = SummarizeFrame(frame);
    if (summary.empty() || !std::ranges::all_of(summary, [](char c) { return c >= 0x20 && c < 0x7F; }))
        std::abort();
    const std::string description = DescribeFrameZh(frame);
    if (description.empty() || description.back() == '\n')
        std::abort();
    return 0;
}
