#include "fleet/fleet_inputs.h"
#include "protocol/endpoint.h"

#include <gtest/gtest.h>

using namespace veltrano;

namespace {

TEST(FleetInputs, PanelNumbersRangesAndAddresses)
{
    struct Case
    {
        const char* text;
        bool panelOk;
        bool rangeOk;
        bool listenOk;
    };
    const Case cases[] = {
        {"0:0", true, false, false},
        {"239:239", true, false, false},
        {"240:0", false, false, false},
        {"1:-1", false, false, false},
        {"12", false, false, true},
        {"127.0.0.2", false, true, false},
        {"127.0.0.2-127.0.0.200", false, true, false},
        {"127.0.0.9-127.0.0.2", false, false, false},
        {"127.0.0.0-127.1.0.0", false, false, false}, // more than 65536 addresses
        {"127.0.0.1:9100", false, false, true},
        {"127.0.0.1:65536", false, false, false},
        {"localhost:9100", false, false, false},
        {"", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParsePanelNumber(c.text).has_value(), c.panelOk);
        EXPECT_EQ(ParseAddressRange(c.text).has_value(), c.rangeOk);
        EXPECT_EQ(ParseListenAddress(c.text).has_value(), c.listenOk);
    }
    EXPECT_EQ(*ParsePanelNumber("1:2"), 242u);
    EXPECT_EQ(ParseListenAddress("9100")->address, 0x7F000001u);
    EXPECT_EQ(ParseListenAddress("127.1.2.3:9100")->address, Ipv4(127, 1, 2, 3));
    EXPECT_EQ(ParseAddressRange("127.0.0.2-127.0.0.200")->Size(), 199u);
}

TEST(FleetInputs, PanelRangeStaysInTheAddressSpace)
{
    struct Case
    {
        std::uint32_t first;
        std::uint64_t count;
        bool ok;
    };
    const Case cases[] = {
        {0, PANEL_SPACE, true},
        {0, PANEL_SPACE + 1, false},
        {PANEL_SPACE - 1, 1, true},
        {PANEL_SPACE - 1, 2, false},
        {0, 0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckPanelRange(c.first, c.count).has_value(), c.ok) << c.first << " " << c.count;
}

} // namespace
