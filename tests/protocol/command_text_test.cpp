#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint8_t MARKER = 0xAA;

struct ParseCase
{
    std::string_view text;
    bool accepted;
    std::size_t count;
    // Bytes the scan leaves from index 0, including any partial byte; the rest must keep the marker.
    std::vector<std::uint8_t> written;
};

const ParseCase PARSE_CASES[] = {
    {"0b 00 02 00 00 00 0f 41 01 00 5e",
     true,
     11,
     {0x0B, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0F, 0x41, 0x01, 0x00, 0x5E}},
    {"0B 00 02 00 00 00 0F 41 01 00 5E",
     true,
     11,
     {0x0B, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0F, 0x41, 0x01, 0x00, 0x5E}},
    {"fF Ff 9a", true, 3, {0xFF, 0xFF, 0x9A}},
    {"0b 00 ", true, 2, {0x0B, 0x00}},
    {"0b 0", true, 1, {0x0B, 0x00}},
    {"0b c", true, 1, {0x0B, 0xC0}},
    {"a", true, 0, {0xA0}},
    {"", true, 0, {}},
    {" 0b", false, 0, {}},
    {"0b  00", false, 1, {0x0B}},
    {"0b\t00", false, 1, {0x0B}},
    {"0b,00", false, 1, {0x0B}},
    {"0b0", false, 1, {0x0B}},
    {"0b 1x", false, 1, {0x0B, 0x10}},
    {"g0", false, 0, {}},
    {"0b\n", false, 1, {0x0B}},
    {std::string_view{"0b\0 00", 6}, false, 1, {0x0B}},
    {"0\xC1", false, 0, {0x00}},
    {"0x0b", false, 0, {0x00}},
};

TEST(ParseCommandText, AcceptsAndRejectsWithTheBytesWrittenSoFar)
{
    for (const auto& c : PARSE_CASES) {
        FrameBuffer buffer;
        buffer.fill(MARKER);
        const ParseResult result = ParseCommandText(c.text, buffer);
        EXPECT_EQ(result.accepted, c.accepted) << '"' << c.text << '"';
        EXPECT_EQ(result.count, c.count) << '"' << c.text << '"';
        std::vector<std::uint8_t> expected = c.written;
        expected.resize(buffer.size(), MARKER);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), expected.begin())) << '"' << c.text << '"';
    }
}

std::string Groups(std::size_t count, std::string_view tail)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        char group[4];
        std::snprintf(group, sizeof group, "%02x ", static_cast<unsigned>(i & 0xFF));
        text += group;
    }
    if (!text.empty())
        text.pop_back();
    text += tail;
    return text;
}

TEST(ParseCommandText, LongTextsStayInsideTheBuffer)
{
    struct Case
    {
        std::string text;
        bool accepted;
        std::size_t count;
    };
    const Case cases[] = {
        {Groups(85, " "), true, 85}, // the form's 255 characters
        {Groups(128, ""), true, 128},  {Groups(128, " "), true, 128},  {Groups(128, " 1"), false, 128},
        {Groups(129, ""), false, 128}, {Groups(400, " "), false, 128},
    };
    for (const auto& c : cases) {
        // Heap-allocated on its own, so a write past the end is caught by the address sanitizer.
        const auto buffer = std::make_unique<FrameBuffer>();
        buffer->fill(MARKER);
        const ParseResult result = ParseCommandText(c.text, *buffer);
        EXPECT_EQ(result.accepted, c.accepted) << c.text.size() << " characters";
        EXPECT_EQ(result.count, c.count) << c.text.size() << " characters";
        for (std::size_t i = 0; i < result.count; ++i)
            ASSERT_EQ((*buffer)[i], i & 0xFF) << "index " << i;
    }
}

TEST(HexDigit, AgreesWithTheCLocaleForEveryCharacter)
{
    for (int code = -128; code < 128; ++code) {
        const char c = static_cast<char>(code);
        const bool hex = code >= 0 && std::isxdigit(code) != 0;
        EXPECT_EQ(IsHexDigit(c), hex) << code;
        const char text[2] = {c, '\0'};
        const long expected = hex ? std::strtol(text, nullptr, 16) : 0;
        EXPECT_EQ(HexDigitValue(c), expected) << code;
    }
}

} // namespace
