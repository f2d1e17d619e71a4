#include "book/event_listing.h"

#include "link/json_line.h"
#include "protocol/frame_decoder.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <string_view>
#include <variant>

namespace veltrano {

namespace {

// The kind as the decoder reads the frame the builder makes.
std::string_view KindOf(int index)
{
    const auto built = BuildEvent(index, DEFAULT_STATUS, 0, 0, 1);
    return CommandKey(DecodeFrame(std::get<BuiltEvent>(built).Frame()).kind);
}

} // namespace

void AppendEventListing(std::string& out, OutputFormat format)
{
    // Each text column as wide as its widest entry, so that every row lines up.
    std::size_t keyWidth = 0;
    std::size_t kindWidth = 0;
    for (int index = 0; index < EVENT_TYPE_COUNT; ++index) {
        keyWidth = std::max(keyWidth, std::string_view(FindEventRow(index)->key).size());
        kindWidth = std::max(kindWidth, KindOf(index).size());
    }
    const auto o = std::back_inserter(out);
    for (int index = 0; index < EVENT_TYPE_COUNT; ++index) {
        const EventRow& row = *FindEventRow(index);
        const std::string_view kind = KindOf(index);
        if (format == OutputFormat::JsonLines)
            JsonLine(out)
                .Text("type", "event")
                .Number("index", index)
                .Text("key", row.key)
                .Text("name", row.name)
                .Text("kind", kind)
                .Number("length", row.length)
                .Bool("zone", row.NeedsZone())
                .End();
        else
            fmt::format_to(o, "{:2}  {:<{}}  {:<{}} {:>2} bytes{}  {}\n", index, row.key, keyWidth, kind,
                           kindWidth, row.length, row.NeedsZone() ? ", zone" : "      ", row.name);
    }
}

} // namespace veltrano
