#include "book/event_listing.h"

#include "sim/event_catalogue.h"
#include "tests/support/hex_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace veltrano;

namespace {

std::vector<std::string> ListingLines(OutputFormat format)
{
    std::string out;
    AppendEventListing(out, format);
    return Lines(out);
}

// A line per event in index order; the kind is the one the decoder reads, the zone column only for the zone
// events, the columns aligned.
TEST(EventListing, ALinePerEventInBothFormats)
{
    struct Case
    {
        const char* name;
        OutputFormat format;
        int index;
        const char* line;
    };
    // clang-format off
    const Case cases[] = {
        {"text, no zone",   OutputFormat::Text,      0,  " 0  online                 online         8 bytes        设备在线命令"},
        {"text, a zone",    OutputFormat::Text,      3,  " 3  zone-alarm             status        12 bytes, zone  防区报警"},
        {"text, the widest kind", OutputFormat::Text, 8, " 8  fault-restore          fault_restore  8 bytes        设备故障恢复"},
        {"json, no zone",   OutputFormat::JsonLines, 0,  R"({"type":"event","index":0,"key":"online","name":"设备在线命令","kind":"online","length":8,"zone":false})"},
        {"json, a zone",    OutputFormat::JsonLines, 3,  R"({"type":"event","index":3,"key":"zone-alarm","name":"防区报警","kind":"status","length":12,"zone":true})"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto lines = ListingLines(c.format);
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(EVENT_TYPE_COUNT)) << c.name;
        EXPECT_EQ(lines[static_cast<std::size_t>(c.index)], c.line) << c.name;
        if (c.format != OutputFormat::Text)
            continue;
        for (const std::string& line : lines)
            EXPECT_EQ(line.find(" bytes"), lines[0].find(" bytes")) << line;
    }
}

} // namespace
