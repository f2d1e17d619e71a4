#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr std::uint8_t MARKER = 0xAA;

TEST(ParseCommandText, KeepsTheBytesWrittenBeforeItStops)
{
    struct Case
    {
        std::string_view text;
        bool accepted;
        std::size_t count;
        std::vector<std::uint8_t> written; // from index 0, partial byte included; the rest keeps MARKER
    };
    const std::vector<std::uint8_t> example{0x0B, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0F, 0x41, 0x01, 0x00, 0x5E};
    const Case cases[] = {
        {"0b 00 02 00 00 00 0f 41 01 00 5e", true, 11, example},
        {"0B 00 02 00 00 00 0F 41 01 00 5E", true, 11, example},
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
        {std::string_view{"0b\0 00", 6}, false, 1, {0x0B}},
        {"0\xC1", false, 0, {0x00}},
    };
    for (const auto& c : cases) {
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

// count groups "00 01 02 ...", single-spaced, followed by tail.
std::string Groups(std::size_t count, std::string_view tail)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const char group[] = {"0123456789abcdef"[(i >> 4) & 0x0F], "0123456789abcdef"[i & 0x0F], ' '};
        text.append(group, i + 1 == count ? 2 : 3);
    }
    return text.append(tail);
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
        {Groups(128, " "), true, 128},
        {Groups(128, " 1"), false, 128},
        {Groups(400, ""), false, 128},
    };
    for (const auto& c : cases) {
        // Allocated on its own, so the address sanitizer catches a write past the end.
        const auto buffer = std::make_unique<FrameBuffer>();
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
        const char text[2] = {static_cast<char>(code), '\0'};
        const bool hex = code >= 0 && std::isxdigit(code) != 0;
        EXPECT_EQ(IsHexDigit(text[0]), hex) << code;
        EXPECT_EQ(HexDigitValue(text[0]), hex ? std::strtol(text, nullptr, 16) : 0) << code;
    }
}

} // namespace
