// Arbitrary text through the companion's text inputs: the decode line parser, HOST:PORT, event names and
// rates. The first byte picks the parser. Each gives a value that holds up, or a reason of one line.
#include "cli/text_inputs.h"
#include "net/host_port.h"
#include "sim/event_catalogue.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

namespace {

template <typename Result>
void CheckReason(const Result& result)
{
    if (const auto* reason = std::get_if<std::string>(&result)) {
        if (reason->empty() || reason->find('\n') != std::string::npos)
            std::abort();
    }
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
    switch (data[0] % 4) {
    case 0: {
        const auto bytes = ParseHexLine(text);
        CheckReason(bytes);
        if (const auto* parsed = std::get_if<std::vector<std::uint8_t>>(&bytes)) {
            // Written out again, the bytes read back the same.
            const auto again = ParseHexLine(HexText(*parsed));
            if (parsed->empty() || parsed->size() > 65507 ||
                !std::holds_alternative<std::vector<std::uint8_t>>(again) ||
                std::get<std::vector<std::uint8_t>>(again) != *parsed)
                std::abort();
        }
        break;
    }
    case 1: {
        const auto split = SplitHostPort(text);
        CheckReason(split);
        if (const auto* hostPort = std::get_if<HostPort>(&split)) {
            if (hostPort->host.empty() || hostPort->port == 0 ||
                !std::holds_alternative<HostPort>(
                    SplitHostPort(hostPort->host + ':' + std::to_string(hostPort->port))))
                std::abort();
        }
        break;
    }
    case 2: {
        const auto event = ParseEventName(text);
        CheckReason(event);
        if (const auto* index = std::get_if<int>(&event); index != nullptr && FindEventRow(*index) == nullptr)
            std::abort();
        break;
    }
    default: {
        const auto rate = ParseRate(text);
        CheckReason(rate);
        if (const auto* value = std::get_if<std::optional<double>>(&rate);
            value != nullptr && value->has_value() && !(**value > 0 && **value <= MAX_RATE))
            std::abort();
        break;
    }
    }
    return 0;
}
