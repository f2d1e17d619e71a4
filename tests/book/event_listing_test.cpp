#include "book/event_listing.h"

#include "sim/event_catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace veltrano;

namespace {

std::vector<std::string> ListingLines(OutputFormat format)
{
    std::string out;
    AppendEventListing(out, format);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t end = out.find('\n', at);
        lines.push_back(out.substr(at, end - at));
        at = end + 1;
    }
    return lines;
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
        {"text, no zone",   OutputFormat::Text,      0,  " 0  online                 online    8 bytes        设备在线命令"},
        {"text, a zone",    OutputFormat::Text,      3,  " 3  zone-alarm             status   12 bytes, zone  防区报警"},
        {"json, no zone",   OutputFormat::JsonLines, 0,  R"({"type":"event","index":0,"key":"online","name":"设备在线命令","kind":"online","length":8,"zone":false})"},
        {"json, a zone",    OutputFormat::JsonLines, 3,  R"({"type":"event","index":3,"key":"zone-alarm","name":"防区报警","kind":"status","length":12,"zone":true})"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto lines = ListingLines(c.format);
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(EVENT_TYPE_COUNT)) << c.name;
        EXPECT_EQ(lines[static_cast<std::size_t>(c.index)], c.line) << c.name;
    }
}

} // namespace
