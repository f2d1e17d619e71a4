#include "fleet/fleet_inputs.h"

#include "protocol/endpoint.h"
#include "protocol/frame.h"
#include "protocol/log_line.h"
#include "protocol/number_text.h"

#include <string>

namespace veltrano {

namespace {

Result<std::uint32_t> NumberUpTo(std::string_view text, std::uint32_t max, std::string_view what)
{
    const auto value = ParseNumber<std::uint32_t>(text);
    if (!value || *value > max)
        return Failure(std::string(what) + " " + Quoted(text) + " is not a number from 0 to " +
                       std::to_string(max));
    return *value;
}

} // namespace

Result<std::uint32_t> ParsePanelNumber(std::string_view text)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return Failure("panel " + Quoted(text) + " is not C:D");
    auto comm = NumberUpTo(text.substr(0, colon), std::uint32_t{MAX_ADDRESS_NUMBER}, "communicator");
    if (!comm)
        return Failure(comm.error());
    auto dev = NumberUpTo(text.substr(colon + 1), std::uint32_t{MAX_ADDRESS_NUMBER}, "device");
    if (!dev)
        return Failure(dev.error());
    return PanelIndex(static_cast<std::uint8_t>(*comm), static_cast<std::uint8_t>(*dev));
}

Status CheckPanelRange(std::uint32_t first, std::uint64_t count)
{
    if (count == 0)
        return Failure("a fleet needs at least one panel");
    if (count > PANEL_SPACE)
        return Failure(std::to_string(count) + " panels are more than the " + std::to_string(PANEL_SPACE) +
                       " of the address space");
    if (first + count > PANEL_SPACE)
        return Failure(std::to_string(count) + " panels from " + std::to_string(first / 240) + ":" +
                       std::to_string(first % 240) + " run past 239:239");
    return {};
}

Result<AddressRange> ParseAddressRange(std::string_view text)
{
    const auto dash = text.find('-');
    auto first = ParseIpv4(text.substr(0, dash));
    if (!first)
        return Failure(first.error());
    auto last = dash == std::string_view::npos ? first : ParseIpv4(text.substr(dash + 1));
    if (!last)
        return Failure(last.error());
    if (*last < *first)
        return Failure("address range " + Quoted(text) + " ends before it starts");
    const AddressRange range{*first, *last};
    if (range.Size() > MAX_SOURCE_ADDRESSES)
        return Failure("address range " + Quoted(text) + " holds more than " +
                       std::to_string(MAX_SOURCE_ADDRESSES) + " addresses");
    return range;
}

} // namespace veltrano
