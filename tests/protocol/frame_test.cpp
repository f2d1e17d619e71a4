#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

FrameBuffer BufferWith(const std::vector<std::uint8_t>& bytes, std::uint8_t stale = 0x00)
{
    FrameBuffer buffer;
    buffer.fill(stale);
    std::copy(bytes.begin(), bytes.end(), buffer.begin());
    return buffer;
}

// The line as the two printf formats build it, re-formatting the accumulator for every byte.
std::string ReferenceLine(std::span<const std::uint8_t> frame)
{
    std::vector<char> text(8);
    std::snprintf(text.data(), text.size(), "%02X ", frame[0]);
    std::string accumulator;
    std::string result = text.data();
    for (std::size_t i = 0; i < std::min<std::size_t>(frame[0], frame.size()); ++i) {
        text.resize(accumulator.size() + 4);
        std::snprintf(text.data(), text.size(), "%s %02X", accumulator.c_str(), frame[i]);
        accumulator = result = text.data();
    }
    return result;
}

TEST(FrameChecksum, SumsTheBytesBeforeTheChecksumOnly)
{
    struct Case
    {
        std::vector<std::uint8_t> bytes;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {{0x0B, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0F, 0x41, 0x01, 0x00}, 0x5E},
        {{0x0C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x11, 0x00, 0x00}, 0x21},
        {{0x0C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x11, 0xFF, 0x00}, 0x1F}, // 0x11F wraps
        {{0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x82}, 0x8B},
        {{0x09, 0xEF, 0xEF, 0x00, 0x00, 0x00, 0x03, 0x80}, 0x6A},
        {{0x02}, 0x02},
        {{0x01}, 0x00},
        {{0x00}, 0x00},
    };
    for (const auto& c : cases) {
        for (const std::uint8_t stale : {0x00, 0x5A, 0xFF})
            EXPECT_EQ(FrameChecksum(BufferWith(c.bytes, stale)), c.expected) << "length " << +c.bytes[0];
    }
}

TEST(FormatFrameHex, MatchesThePrintfLine)
{
    EXPECT_EQ(FormatFrameHex(BufferWith({0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x0A})),
              " 08 00 01 00 00 00 01 0A");
    EXPECT_EQ(FormatFrameHex(BufferWith({0x00, 0x12})), "00 ");
    // Three bytes arrived but byte 0 says 12: twelve groups, the rest from the buffer.
    EXPECT_EQ(FormatFrameHex(BufferWith({0x0C, 0xFE, 0xDC})), " 0C FE DC 00 00 00 00 00 00 00 00 00");

    FrameBuffer buffer;
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<std::uint8_t>(i * 37 + 11); // every nibble value appears
    struct Case
    {
        std::uint8_t length;
        std::size_t groups;
    };
    const Case cases[] = {{1, 1}, {8, 8}, {12, 12}, {128, 128}, {129, 128}, {200, 128}, {255, 128}};
    for (const auto& c : cases) {
        buffer[0] = c.length;
        const std::string line = FormatFrameHex(buffer);
        EXPECT_EQ(line, ReferenceLine(buffer)) << "length " << +c.length;
        EXPECT_EQ(line.size(), c.groups * 3) << "length " << +c.length;
    }
}

TEST(FrameHelpers, ReadNothingPastTheSpan)
{
    // Exact-size heap copies, so the address sanitizer catches a read past the end.
    struct Case
    {
        std::vector<std::uint8_t> bytes;
        std::uint8_t checksum;
        std::string line;
    };
    const Case cases[] = {
        {{0xFF, 0x01}, 0x00, " FF 01"},
        {{0x0C, 0x00, 0x01}, 0x0D, " 0C 00 01"},
        {{}, 0x00, ""},
    };
    for (const auto& c : cases) {
        const auto heap = std::make_unique<std::uint8_t[]>(c.bytes.size());
        std::copy(c.bytes.begin(), c.bytes.end(), heap.get());
        const std::span<const std::uint8_t> frame{heap.get(), c.bytes.size()};
        EXPECT_EQ(FrameChecksum(frame), c.checksum) << c.line;
        EXPECT_EQ(FormatFrameHex(frame), c.line);
    }
}

} // namespace
