#include "link/frame_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

using Bytes = std::vector<std::uint8_t>;
using veltrano::DecodeText;
using veltrano::OutputFormat;

// Lines are counted from 1, blank ones included, so that a reason names the line an editor shows.
TEST(HexLines, ReadsAFrameALineAndNamesTheLineOfAMistake)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> lines;
        std::vector<Bytes> frames; // of the lines before the first mistake
        std::string error;         // empty: none
    };
    // clang-format off
    const Case cases[] = {
        {"lf and crlf",                {"08 00\n", "0c0001\r\n"},          {{0x08, 0x00}, {0x0C, 0x00, 0x01}}, ""},
        {"no newline at the end",      {"08"},                            {{0x08}},                           ""},
        {"blank lines skipped",        {"\n", " \t\r\n", "08\n"},         {{0x08}},                           ""},
        {"mistake counts blank lines", {"08\n", "\n", "xyz\n", "09\n"},   {{0x08}},                           "line 3: "},
        {"odd digit on the first",     {"0C 0\n"},                        {},                                 "line 1: "},
    };
    // clang-format on
    for (const Case& c : cases) {
        veltrano::HexLines lines;
        std::vector<Bytes> frames;
        std::string error;
        for (const std::string& line : c.lines) {
            const auto frame = lines.Next(line);
            if (!frame) {
                error = frame.error();
                break;
            }
            if (*frame)
                frames.push_back(**frame);
        }
        EXPECT_EQ(frames, c.frames) << c.name;
        EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.name << ": " << error;
        EXPECT_EQ(error.empty(), c.error.empty()) << c.name << ": " << error;
    }
}

// Every text is read before any is used: one bad text gives its reason and no frames.
TEST(HexLines, TextsAreAllCheckedFirst)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> texts;
        std::size_t frames;
        bool ok;
    };
    // clang-format off
    const Case cases[] = {
        {"two good",       {"08 00", "0c0001"},   2, true},
        {"the last bad",   {"08 00", "0C 0"},     0, false},
        {"none",           {},                    0, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto frames = veltrano::ParseHexTexts(c.texts);
        EXPECT_EQ(frames.has_value(), c.ok) << c.name;
        if (frames) {
            EXPECT_EQ(frames->size(), c.frames) << c.name;
        }
    }
}

// The three ways `decode` shows a frame.
TEST(DecodedFrame, FieldsChineseOrJson)
{
    struct Case
    {
        const char* name;
        Bytes bytes;
        OutputFormat format;
        DecodeText text;
        std::string out;
    };
    const Bytes& status = known::STATUS;
    const Bytes badAck{0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0xFF};
    const Case cases[] = {
        {"fields of a status frame", status, OutputFormat::Text, DecodeText::Fields,
         " 0C 00 01 00 00 00 02 01 11 00 00 21 | Status comm 0 dev 1 alarm: zone 1 flags: "
         "disarmed,mains_absent\n"
         "  length byte 12, datagram 12 bytes\n"
         "  comm 0, device 1, reserved 00 00 00\n"
         "  command 0x02 status\n"
         "  status 01 11 00 00, flags disarmed,mains_absent\n"
         "  checksum good (expected 0x21, found 0x21)\n"
         "  findings none\n"},
        {"fields with a finding", badAck, OutputFormat::Text, DecodeText::Fields,
         " 08 00 01 00 00 00 01 FF | Online comm 0 dev 1 [bad_checksum]\n"
         "  length byte 8, datagram 8 bytes\n"
         "  comm 0, device 1, reserved 00 00 00\n"
         "  command 0x01 online\n"
         "  checksum bad (expected 0x0A, found 0xFF)\n"
         "  findings bad_checksum\n"},
        {"json ignores --zh", status, OutputFormat::JsonLines, DecodeText::Chinese,
         R"({"type":"frame","len":12,"hex":"0C 00 01 00 00 00 02 01 11 00 00 21","declared_length":12,"cmd":2,)"
         R"("kind":"status","comm":0,"dev":1,"ack":false,"status":[1,17,0,0],"checksum":"good","checksum_ok":true,)"
         R"("findings":[],"summary":"Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent"})"
         "\n"},
    };
    for (const Case& c : cases) {
        std::string out;
        veltrano::AppendDecodedFrame(out, c.bytes, c.format, c.text);
        EXPECT_EQ(out, c.out) << c.name;
    }
}

} // namespace
