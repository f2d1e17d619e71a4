// Arbitrary text through the companion's text inputs: the decode line parser, HOST:PORT, event names,
// rates, and the fleet's and the supervising centre's panel numbers, source ranges and metrics addresses.
// The first byte picks the parser. Each gives a value that holds up, or a reason of one line.
#include "fleet/fleet_inputs.h"
#include "link/rate_text.h"
#include "net/host_port.h"
#include "protocol/frame.h"
#include "protocol/hex.h"
#include "sim/event_catalogue.h"
#include "sim/event_name.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace veltrano;

namespace {

template <typename Parsed>
void CheckReason(const Parsed& result)
{
    if (!result && (result.error().empty() || result.error().find('\n') != std::string::npos))
        std::abort();
}

std::string HexText(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += DIGITS[byte >> 4];
        text += DIGITS[byte & 0x0F];
        text += ' ';
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 7) {
    case 0: {
        const auto bytes = ParseHexBytes(text);
        CheckReason(bytes);
        if (bytes) {
            // Written out again, the bytes read back the same.
            const auto again = ParseHexBytes(HexText(*bytes));
            if (bytes->empty() || bytes->size() > MAX_UDP_PAYLOAD || !again || *again != *bytes)
                std::abort();
        }
        break;
    }
    case 1: {
        const auto split = SplitHostPort(text);
        CheckReason(split);
        if (split && (split->host.empty() || split->port == 0 ||
                      !SplitHostPort(split->host + ':' + std::to_string(split->port))))
            std::abort();
        break;
    }
    case 2: {
        const auto event = ParseEventName(text);
        CheckReason(event);
        if (event && FindEventRow(*event) == nullptr)
            std::abort();
        break;
    }
    case 4: {
        const auto panel = ParsePanelNumber(text);
        CheckReason(panel);
        if (panel && (*panel >= PANEL_SPACE || CheckPanelRange(*panel, PANEL_SPACE - *panel + 1) ||
                      !CheckPanelRange(*panel, PANEL_SPACE - *panel)))
            std::abort();
        break;
    }
    case 5: {
        const auto range = ParseAddressRange(text);
        CheckReason(range);
        if (range && (range->last < range->first || range->Size() > MAX_SOURCE_ADDRESSES))
            std::abort();
        break;
    }
    case 6: {
        const auto listen = ParseListenAddress(text);
        CheckReason(listen);
        // Without an address it is loopback's.
        if (listen && text.find(':') == std::string_view::npos && listen->address != 0x7F000001)
            std::abort();
        break;
    }
    default: {
        const auto rate = ParseRate(text);
        CheckReason(rate);
        if (rate && rate->has_value() && !(**rate > 0 && **rate <= MAX_RATE))
            std::abort();
        break;
    }
    }
    return 0;
}
