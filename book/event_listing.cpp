#include "book/event_listing.h"

#include "link/json_line.h"
#include "protocol/frame_decoder.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"

#include <fmt/format.h>

#include <iterator>
#include <variant>

namespace veltrano {

void AppendEventListing(std::string& out, OutputFormat format)
{
    const auto o = std::back_inserter(out);
    for (int index = 0; index < EVENT_TYPE_COUNT; ++index) {
        const EventRow& row = *FindEventRow(index);
        // The kind as the decoder reads the frame the builder makes.
        const auto built = BuildEvent(index, DEFAULT_STATUS, 0, 0, 1);
        const std::string_view kind = CommandKey(DecodeFrame(std::get<BuiltEvent>(built).Frame()).kind);
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
            fmt::format_to(o, "{:2}  {:<22} {:<8} {:>2} bytes{}  {}\n", index, row.key, kind, row.length,
                           row.NeedsZone() ? ", zone" : "      ", row.name);
    }
}

} // namespace veltrano
