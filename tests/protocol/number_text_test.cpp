#include "protocol/number_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>

using namespace veltrano;

namespace {

TEST(NumberText, WholeTextOrNothing)
{
    struct Case
    {
        std::string_view text;
        std::optional<std::uint16_t> port;
        std::optional<int> signedValue;
    };
    const Case cases[] = {
        {"8015", 8015, 8015},
        {"65535", 65535, 65535},
        {"65536", std::nullopt, 65536},
        {"-1", std::nullopt, -1},
        {"", std::nullopt, std::nullopt},
        {" 1", std::nullopt, std::nullopt},
        {"1 ", std::nullopt, std::nullopt},
        {"+1", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseNumber<std::uint16_t>(c.text), c.port) << c.text;
        EXPECT_EQ(ParseNumber<int>(c.text), c.signedValue) << c.text;
    }
    EXPECT_EQ(ParseNumber<std::int64_t>("ff", 16), 255);
}

TEST(NumberText, SaturatingAsTheCRuntimeReads)
{
    struct Case
    {
        std::string_view text;
        int prefix;               // what atoi gives
        std::optional<int> whole; // the whole text, blanks around
    };
    const Case cases[] = {
        {"42", 42, 42},
        {" \t+42 \n", 42, 42},
        {"\r\v\f7\r", 7, 7},      // every blank the C runtime skips, '\r' the last
        {"\b7", 0, std::nullopt}, // the character before '\t' is none
        {"-42x", -42, std::nullopt},
        {"99999999999", INT_MAX, INT_MAX},
        {"-99999999999", INT_MIN, INT_MIN},
        {"-2147483648", INT_MIN, INT_MIN},
        {"x1", 0, std::nullopt},
        {"", 0, std::nullopt},
        {"- 1", 0, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseSaturatingPrefix(c.text).value, c.prefix) << c.text;
        EXPECT_EQ(ParseSaturatingNumber(c.text), c.whole) << c.text;
    }
}

} // namespace
