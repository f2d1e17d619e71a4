// Arbitrary files through the capture reader and the captured exchange: libpcap reads them from memory,
// the reader decodes every record's link, IPv4 and UDP headers. Nothing may be read outside a record, and
// every record is either a datagram or counted once by its reason.
#include "capture/captured_exchange.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace veltrano;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (stream == nullptr)
        return 0;
    auto reader = CaptureReader::Open(stream, "fuzz");
    if (!reader)
        return 0;
    CapturedExchange exchange(**reader, {std::chrono::milliseconds(10), 8, 4});
    std::uint64_t frames = 0;
    // Every frame takes at least a record header of the input: the loop ends.
    for (std::size_t i = 0; i <= size; ++i) {
        auto next = exchange.Next();
        if (!next || !*next)
            break;
        const CapturedFrame& frame = **next;
        if (frame.size == 0 || frame.size > FRAME_BUFFER_SIZE || frame.sender >= 4 ||
            frame.number > (*reader)->Records())
            std::abort();
        ++frames;
    }
    if (frames + exchange.CapturedAnswers() + (*reader)->SkippedTotal() != (*reader)->Records())
        std::abort();
    return 0;
}
