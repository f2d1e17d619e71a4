#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

FrameBuffer BufferWith(std::initializer_list<std::uint8_t> bytes, std::uint8_t stale = 0x00)
{
    FrameBuffer buffer{};
    buffer.fill(stale);
    std::copy(bytes.begin(), bytes.end(), buffer.begin());
    return buffer;
}

// The line as the two printf formats build it, re-formatting the accumulator for every byte.
std::string ReferenceLine(std::span<const std::uint8_t> frame)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X ", frame[0]);
    std::string result = text;
    std::string accumulator;
    const std::size_t shown = std::min<std::size_t>(frame[0], frame.size());
    for (std::size_t i = 0; i < shown; ++i) {
        std::vector<char> next(accumulator.size() + 4);
        std::snprintf(next.data(), next.size(), "%s %02X", accumulator.c_str(), frame[i]);
        result = next.data();
        accumulator = result;
    }
    return result;
}

struct ChecksumCase
{
    const char* name;
    std::initializer_list<std::uint8_t> bytes;
    std::uint8_t expected;
};

const ChecksumCase CHECKSUM_CASES[] = {
    {"console example", {0x0B, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0F, 0x41, 0x01, 0x00}, 0x5E},
    {"zone 1 alarm", {0x0C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x11, 0x00, 0x00}, 0x21},
    {"online", {0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01}, 0x0A},
    {"acknowledgement", {0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x82}, 0x8B},
    {"sum wraps", {0x0C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x11, 0xFF, 0x00}, 0x1F},
    {"fault frame", {0x09, 0xEF, 0xEF, 0x00, 0x00, 0x00, 0x03, 0x80}, 0x6A},
    {"length one", {0x01}, 0x00},
    {"length zero", {0x00}, 0x00},
    {"length two sums byte 0", {0x02}, 0x02},
};

TEST(FrameChecksum, WorkedFramesAndStaleBytesPastTheFrame)
{
    for (const auto& c : CHECKSUM_CASES) {
        for (const std::uint8_t stale : {0x00, 0x5A, 0xFF}) {
            const FrameBuffer buffer = BufferWith(c.bytes, stale);
            EXPECT_EQ(FrameChecksum(buffer), c.expected) << c.name << ", stale 0x" << std::hex << +stale;
        }
    }
}

TEST(FrameChecksum, NeverReadsPastTheSpan)
{
    // Exact-size heap copies, so a read past the end is caught by the address sanitizer.
    struct Case
    {
        std::vector<std::uint8_t> bytes;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {{0xFF, 0x01}, 0x00},                         // 0xFF + 0x01
        {{0x0C, 0x00, 0x01}, 0x0D},                   // claims 12, holds 3
        {std::vector<std::uint8_t>(128, 0xFF), 0x80}, // 128 * 0xFF = 0x7F80
        {{}, 0x00},
    };
    for (const auto& c : cases) {
        const auto heap = std::make_unique<std::uint8_t[]>(c.bytes.size());
        std::copy(c.bytes.begin(), c.bytes.end(), heap.get());
        EXPECT_EQ(FrameChecksum({heap.get(), c.bytes.size()}), c.expected) << "size " << c.bytes.size();
    }
}

TEST(FormatFrameHex, WorkedLines)
{
    struct Case
    {
        std::initializer_list<std::uint8_t> bytes;
        const char* expected;
    };
    const Case cases[] = {
        {{0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x0A}, " 08 00 01 00 00 00 01 0A"},
        {{0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x82, 0x8B}, " 08 00 01 00 00 00 82 8B"},
        {{0x00, 0x12, 0x34}, "00 "},
        {{0x01, 0xAB}, " 01"},
        {{0x03, 0xab, 0xcd}, " 03 AB CD"},
        // Only 3 bytes arrived but byte 0 says 12: the line shows 12 groups, the rest from the buffer.
        {{0x0C, 0xFE, 0xDC}, " 0C FE DC 00 00 00 00 00 00 00 00 00"},
    };
    for (const auto& c : cases) {
        const FrameBuffer buffer = BufferWith(c.bytes);
        EXPECT_EQ(FormatFrameHex(buffer), c.expected);
    }
}

TEST(FormatFrameHex, MatchesPrintfReferenceForEveryLength)
{
    FrameBuffer buffer{};
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<std::uint8_t>(i * 37 + 11); // every nibble value appears
    struct Case
    {
        std::uint8_t length;
        std::size_t groups;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {8, 8}, {12, 12}, {128, 128}, {129, 128}, {200, 128}, {255, 128}};
    for (const auto& c : cases) {
        buffer[0] = c.length;
        const std::string line = FormatFrameHex(buffer);
        EXPECT_EQ(line, ReferenceLine(buffer)) << "length " << +c.length;
        EXPECT_EQ(line.size(), c.length == 0 ? 3 : c.groups * 3) << "length " << +c.length;
    }
}

TEST(FormatFrameHex, ShortSpanShowsOnlyItsBytes)
{
    const std::vector<std::uint8_t> bytes{0xC8, 0x01, 0xF0};
    const auto heap = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), heap.get());
    EXPECT_EQ(FormatFrameHex({heap.get(), bytes.size()}), " C8 01 F0");
    EXPECT_EQ(FormatFrameHex({}), "");
}

} // namespace
