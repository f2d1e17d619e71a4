#include "protocol/acknowledgement.h"
#include "protocol/frame.h"
#include "protocol/log_line.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

FrameBuffer BufferWith(std::string_view hex, std::uint8_t fill)
{
    FrameBuffer buffer;
    buffer.fill(fill);
    std::ranges::copy(Bytes(hex), buffer.begin());
    return buffer;
}

// The line as the two printf formats build it, re-formatting the accumulator for every byte.
std::string ReferenceLine(std::span<const std::uint8_t> frame)
{
    char text[512];
    std::snprintf(text, sizeof text, "%02X ", frame[0]);
    std::string accumulator;
    std::string result = text;
    for (std::size_t i = 0; i < std::min<std::size_t>(frame[0], frame.size()); ++i) {
        std::snprintf(text, sizeof text, "%s %02X", accumulator.c_str(), frame[i]);
        accumulator = result = text;
    }
    return result;
}

TEST(FrameChecksum, SumsTheBytesBeforeTheChecksumOnly)
{
    const std::pair<std::string_view, std::uint8_t> cases[] = {
        {"0B 00 02 00 00 00 0F 41 01 00", 0x5E},
        {"0C 00 01 00 00 00 02 00 11 FF 00", 0x1F}, // 0x11F wraps
        {"02", 0x02},
        {"01", 0x00},
        {"00", 0x00},
    };
    for (const auto& [hex, expected] : cases) {
        EXPECT_EQ(FrameChecksum(Bytes(hex)), expected) << hex;
        for (const std::uint8_t stale : {0x00, 0x5A, 0xFF})
            EXPECT_EQ(FrameChecksum(BufferWith(hex, stale)), expected) << hex << " stale " << +stale;
    }
    // A length beyond the bytes held sums what is there.
    EXPECT_EQ(FrameChecksum(Bytes("0C 00 01")), 0x0D);
    EXPECT_EQ(FrameChecksum(Bytes("")), 0x00);
}

TEST(FormatFrameHex, MatchesThePrintfLine)
{
    EXPECT_EQ(FormatFrameHex(Bytes("08 00 01 00 00 00 01 0A")), " 08 00 01 00 00 00 01 0A");
    EXPECT_EQ(FormatFrameHex(Bytes("0C 00 01")), " 0C 00 01");
    EXPECT_EQ(FormatFrameHex(Bytes("")), "");

    FrameBuffer buffer;
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<std::uint8_t>(i * 37 + 11); // every nibble value appears
    for (const std::uint8_t length : {0, 1, 8, 12, 128, 129, 200, 255}) {
        buffer[0] = length;
        EXPECT_EQ(FormatFrameHex(buffer), ReferenceLine(buffer)) << "length " << +length;
    }
}

// count groups "00 01 02 ...", each followed by a space.
std::string Groups(std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += {"0123456789abcdef"[(i >> 4) & 0x0F], "0123456789abcdef"[i & 0x0F], ' '};
    return text;
}

TEST(ParseCommandText, KeepsTheBytesWrittenBeforeItStops)
{
    constexpr std::uint8_t marker = 0xAA;
    const struct
    {
        std::string text;
        bool accepted;
        std::size_t count;   // complete bytes, when accepted
        std::string written; // from index 0, partial byte included; the rest keeps the marker
    } cases[] = {
        {"0b 00 02 00 00 00 0f 41 01 00 5e", true, 11, "0B 00 02 00 00 00 0F 41 01 00 5E"},
        {"0B 00 02 00 00 00 0F 41 01 00 5E", true, 11, "0B 00 02 00 00 00 0F 41 01 00 5E"},
        {"0b 00 ", true, 2, "0B 00"},
        {"0b 0", true, 1, "0B 00"},
        {"0b c", true, 1, "0B C0"},
        {"a", true, 0, "A0"},
        {"", true, 0, ""},
        {" 0b", false, 0, ""},
        {"0b  00", false, 1, "0B"},
        {"0b\t00", false, 1, "0B"},
        {"0b,00", false, 1, "0B"},
        {"0b0", false, 1, "0B"},
        {"0b 1x", false, 1, "0B 10"},
        {std::string("0b\0 00", 6), false, 1, "0B"},
        {"0\xC1", false, 0, "00"},
        {Groups(85), true, 85, Groups(85)}, // the form's 255 characters
        {Groups(128), true, 128, Groups(128)},
        {Groups(128) + "1", false, 128, Groups(128)},
        {Groups(400), false, 128, Groups(128)},
    };
    for (const auto& c : cases) {
        FrameBuffer buffer; // the address sanitizer catches a write past its end
        buffer.fill(marker);
        const Result<std::size_t> result = ParseCommandText(c.text, buffer);
        EXPECT_EQ(result.has_value(), c.accepted) << '"' << c.text << '"';
        if (result) {
            EXPECT_EQ(*result, c.count) << '"' << c.text << '"';
        }
        EXPECT_EQ(buffer, BufferWith(c.written, marker)) << '"' << c.text << '"';
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

// Bytes a datagram lacks count as zero, as in a buffer cleared past it.
TEST(Acknowledgement, AnswersEveryFrameButAcknowledgementsEmptyAndOversizedDatagrams)
{
    const std::vector<std::uint8_t> oversized(129, 0x01);
    std::vector<std::uint8_t> largest(128, 0x00); // the receive buffer's size: still a frame
    largest[0] = 0x80;
    largest[2] = 0x07;
    largest[6] = 0x02;
    const struct
    {
        std::vector<std::uint8_t> datagram;
        std::string ack; // empty: none
        NoAck reason;
    } cases[] = {
        {known::STATUS, known::STATUS_ACK_HEX, {}},
        {Bytes("08 00 01 00 00 00 01 FF"), "08 00 01 00 00 00 81 8A", {}}, // its own checksum is not examined
        {Bytes("0C 01 02 03 04"), "08 01 02 03 04 00 80 92", {}},
        {Bytes("0C 01 02 03 04 05"), "08 01 02 03 04 05 80 97", {}},
        {Bytes("00"), "08 00 00 00 00 00 80 88", {}},
        {Bytes("12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00"), "08 00 00 00 00 00 BE C6", {}},
        {known::STATUS_ACK, "", NoAck::Acknowledgement},
        {Bytes("08 00 01 00 00 00 80"), "", NoAck::Acknowledgement},
        {Bytes(""), "", NoAck::Empty},
        {largest, "08 00 07 00 00 00 82 91", {}},
        {oversized, "", NoAck::Oversize},
    };
    for (const auto& c : cases) {
        const auto answer = AcknowledgementFor(c.datagram);
        if (c.ack.empty()) {
            ASSERT_TRUE(std::holds_alternative<NoAck>(answer)) << c.datagram.size();
            EXPECT_EQ(std::get<NoAck>(answer), c.reason);
        } else {
            ASSERT_TRUE(std::holds_alternative<AckFrame>(answer)) << c.ack;
            const AckFrame& ack = std::get<AckFrame>(answer);
            EXPECT_EQ(std::vector<std::uint8_t>(ack.begin(), ack.end()), Bytes(c.ack));
        }
    }
}

TEST(Acknowledgement, PairsAFrameWithTheAcknowledgementThatAnswersIt)
{
    const struct
    {
        const char* frame;
        bool ack; // the datagram is itself an acknowledgement
    } cases[] = {
        {known::STATUS_HEX, false},
        {"08 EF 02 03 04 05 3E 00", false},
        {"0C 01 02", false},
        {known::STATUS_ACK_HEX, true},
    };
    for (const auto& c : cases) {
        const auto frame = Bytes(c.frame);
        EXPECT_EQ(IsAcknowledgement(frame), c.ack) << c.frame;
        const auto answer = AcknowledgementFor(frame);
        if (const auto* ack = std::get_if<AckFrame>(&answer)) {
            EXPECT_EQ(AckPairingKey(*ack), AckPairingKey(frame)) << c.frame;
        }
    }
    // Any other communicator, device, reserved byte or command pairs differently.
    const auto key = AckPairingKey(known::STATUS_ACK);
    for (const char* other : {"08 01 01 00 00 00 82 8B", "08 00 02 00 00 00 82 8B", "08 00 01 00 00 01 82 8B",
                              "08 00 01 00 00 00 81 8B"})
        EXPECT_NE(AckPairingKey(Bytes(other)), key) << other;
}

TEST(CopyFrameBytes, CopiesExactlyTheBytesAskedForAtEverySize)
{
    std::array<std::uint8_t, 300> source{};
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint8_t>(i * 7 + 1);
    for (std::size_t size = 0; size <= 255; ++size) {
        std::array<std::uint8_t, 300> target{};
        target.fill(0xEE);
        CopyFrameBytes(target.data() + 1, source.data(), size);
        EXPECT_EQ(target[0], 0xEE) << size;
        EXPECT_TRUE(std::equal(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(size),
                               target.begin() + 1))
            << size;
        EXPECT_TRUE(std::all_of(target.begin() + 1 + static_cast<std::ptrdiff_t>(size), target.end(),
                                [](std::uint8_t byte) { return byte == 0xEE; }))
            << size << ": wrote past the end";
    }
}

TEST(FormatDatagramHex, ShowsWhatAClearedBufferWouldHold)
{
    EXPECT_EQ(FormatDatagramHex(Bytes("0C 01 02")), " 0C 01 02 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(FormatDatagramHex(Bytes("03 01 02 03 04")), " 03 01 02");
    EXPECT_EQ(FormatDatagramHex(Bytes("00 05")), "00 ");
    EXPECT_EQ(FormatDatagramHex(Bytes("")), "");
    // A length beyond the buffer shows its 128 bytes.
    EXPECT_EQ(FormatDatagramHex(Bytes("FF 01")).size(), 128U * 3);
    // Machine-readable output shows every byte, whatever byte 0 says.
    EXPECT_EQ(FormatBytesHex(Bytes("03 01 0a 04 05")), "03 01 0A 04 05");
    EXPECT_EQ(FormatBytesHex(Bytes("")), "");
}

} // namespace
