#include "protocol/frame_decoder.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

using namespace veltrano;

namespace {

constexpr std::string_view STATUS_ZONE1 = known::STATUS_HEX;
constexpr std::string_view DEBUG_FRAME = "12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00";

FindingSet Findings(std::initializer_list<Finding> list)
{
    FindingSet set;
    for (const Finding f : list)
        set.Add(f);
    return set;
}

struct DecodeCase
{
    std::string_view name;
    std::string_view hex;
    CommandKind kind;
    bool ack;
    std::uint8_t statusCount;
    ChecksumState checksum;
    FindingSet findings;
    std::string_view summary;
};

using enum CommandKind;
using enum ChecksumState;
using enum Finding;

// clang-format off
const DecodeCase DECODE_CASES[] = {
    // The worked examples.
    {"status", STATUS_ZONE1, Status, false, 4, Good, {}, "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent"},
    {"status ack", known::STATUS_ACK_HEX, Status, true, 0, Good, {}, "ACK status comm 0 dev 1"},
    {"online", "08 00 01 00 00 00 01 0A", Online, false, 0, Good, {}, "Online comm 0 dev 1"},
    {"fault", "09 00 01 00 00 00 03 01 0E", Fault, false, 1, Good, {}, "Fault comm 0 dev 1"},
    {"fault restore", "08 00 01 00 00 00 04 0D", FaultRestore, false, 0, Good, {}, "Fault restore comm 0 dev 1"},
    {"fault restore ack", "08 00 01 00 00 00 84 8D", FaultRestore, true, 0, Good, {}, "ACK fault restore comm 0 dev 1"},
    {"format example", "0B 00 02 00 00 00 0F 41 01 00 5E", Unknown, false, 3, Good, Findings({UnknownCommand}), "Unknown 0x0F comm 0 dev 2 [unknown_command]"},
    {"debug", DEBUG_FRAME, Debug, false, 0, None, {}, "Debug comm 0 dev 0"},
    // A debug frame whose byte 17 is not zero carries a checksum.
    {"debug summed", "12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 50", Debug, false, 0, Good, {}, "Debug comm 0 dev 0"},
    {"debug bad sum", "12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 01", Debug, false, 0, Bad, Findings({BadChecksum}), "Debug comm 0 dev 0 [bad_checksum]"},
    // An acknowledgement of an unknown code is not an unknown command.
    {"unknown ack", "08 00 02 00 00 00 8F 99", Unknown, true, 0, Good, {}, "ACK unknown 0x0F comm 0 dev 2"},
    // Each finding.
    {"bad checksum", "0C 00 01 00 00 00 02 01 11 00 00 FF", Status, false, 4, Bad, Findings({BadChecksum}), "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent [bad_checksum]"},
    // The checksum follows byte 0, not the datagram's size.
    {"trailing byte", "08 00 01 00 00 00 01 0A 00", Online, false, 0, Good, Findings({LengthMismatch}), "Online comm 0 dev 1 [length_mismatch]"},
    {"length beyond datagram", "0D 00 01 00 00 00 02 01 11 00 00 21", Status, false, 4, Missing, Findings({LengthMismatch}), "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent [length_mismatch]"},
    {"length zero", "00 00 01 00 00 00 01 0A", Online, false, 0, Missing, Findings({LengthMismatch}), "Online comm 0 dev 1 [length_mismatch]"},
    {"reserved", "08 00 01 00 05 00 01 0F", Online, false, 0, Good, Findings({ReservedNotZero}), "Online comm 0 dev 1 [reserved_not_zero]"},
    // Zones and flags of status frames: bit 7 of the flags is unused and the spare byte is not shown.
    {"status, disarmed zones", "0C 03 07 00 00 00 02 00 11 05 00 2E", Status, false, 4, Good, {}, "Status comm 3 dev 7 disarmed: zones 1,3 flags: disarmed,mains_absent"},
    {"status, every zone and flag", "0C 00 01 00 00 00 02 FF 7F 00 00 8D", Status, false, 4, Good, {}, "Status comm 0 dev 1 alarm: zones 1,2,3,4,5,6,7,8 flags: disarmed,help,tamper,battery,mains_absent,test_mode,under_voltage"},
    {"status, nothing to list", "0C 00 01 00 00 00 02 00 80 00 07 96", Status, false, 4, Good, {}, "Status comm 0 dev 1"},
    {"comm and device 239", "08 EF EF 00 00 00 01 E7", Online, false, 0, Good, {}, "Online comm 239 dev 239"},
    {"comm 240", "08 F0 01 00 00 00 01 FA", Online, false, 0, Good, Findings({CommOutOfRange}), "Online comm 240 dev 1 [comm_out_of_range]"},
    {"device 240", "08 00 F0 00 00 00 01 F9", Online, false, 0, Good, Findings({DeviceOutOfRange}), "Online comm 0 dev 240 [device_out_of_range]"},
    // Consistent length and checksum, but a status frame needs 12 bytes.
    {"status of 8 bytes", "08 00 01 00 00 00 02 0B", Status, false, 0, Good, Findings({Truncated}), "Status comm 0 dev 1 [truncated]"},
    // Cut after the first status byte: only that byte is there.
    {"status cut", "0C 00 01 00 00 00 02 01", Status, false, 1, Missing, Findings({LengthMismatch, Truncated}), "Status comm 0 dev 1 alarm: zone 1 [length_mismatch,truncated]"},
    // A checksum byte of 0x00 means "none" for the debug frame only.
    {"zero checksum", "08 00 01 00 00 00 01 00", Online, false, 0, Bad, Findings({BadChecksum}), "Online comm 0 dev 1 [bad_checksum]"},
    {"six bytes", "08 00 01 00 00 00", Unknown, false, 0, Missing, Findings({LengthMismatch, Truncated}), "Short 6 bytes [length_mismatch,truncated]"},
    {"no command", "0C 00 01", Unknown, false, 0, Missing, Findings({LengthMismatch, Truncated}), "Short 3 bytes [length_mismatch,truncated]"},
    {"one byte", "01", Unknown, false, 0, Missing, Findings({Truncated}), "Short 1 byte [truncated]"},
    {"empty", "", Unknown, false, 0, Missing, Findings({Truncated}), "Short 0 bytes [truncated]"},
};
// clang-format on

// The window puts each fixed piece of the decoding into its own language: none may bypass the wording, and a
// wording that changes nothing must give the Chinese decoding byte for byte.
TEST(DecodeFrame, FieldsFindingsChecksumSummaryAndWording)
{
    const DecodingWording marker = [](std::string_view) { return std::string("~"); };
    const DecodingWording same = [](std::string_view chinese) { return std::string(chinese); };
    for (const DecodeCase& c : DECODE_CASES) {
        SCOPED_TRACE(c.name);
        const auto bytes = Bytes(c.hex);
        const DecodedFrame frame = DecodeFrame(bytes);
        EXPECT_EQ(frame.size, bytes.size());
        EXPECT_EQ(frame.kind, c.kind);
        EXPECT_EQ(frame.ack, c.ack);
        EXPECT_EQ(frame.statusCount, c.statusCount);
        EXPECT_EQ(frame.checksum, c.checksum);
        EXPECT_EQ(frame.findings.Bits(), c.findings.Bits());
        EXPECT_EQ(SummarizeFrame(frame), c.summary);
        const std::string marked = DescribeFrame(frame, marker);
        EXPECT_TRUE(std::ranges::all_of(marked, [](char ch) {
            return static_cast<unsigned char>(ch) < 0x80;
        })) << marked;
        EXPECT_EQ(DescribeFrame(frame, same), DescribeFrameZh(frame));
    }
}

TEST(DecodeFrame, TakesEveryFieldOfTheStatusFrame)
{
    const DecodedFrame frame = DecodeFrame(Bytes("0C 03 07 00 00 00 02 01 11 05 09 38"));
    EXPECT_EQ(frame.declaredLength, 12);
    EXPECT_EQ(frame.comm, 3);
    EXPECT_EQ(frame.device, 7);
    EXPECT_EQ(frame.command, CMD_STATUS);
    EXPECT_EQ(frame.status, (StatusBytes{0x01, 0x11, 0x05, 0x09}));
    EXPECT_EQ(frame.checksumExpected, 0x38);
    EXPECT_EQ(frame.checksumFound, 0x38);

    const DecodedFrame bad = DecodeFrame(Bytes("08 00 01 00 07 00 01 FF"));
    EXPECT_EQ(bad.reserved, (std::array<std::uint8_t, 3>{0x00, 0x07, 0x00}));
    EXPECT_EQ(bad.checksumExpected, 0x11);
    EXPECT_EQ(bad.checksumFound, 0xFF);
}

TEST(DescribeFrameZh, OneFieldPerLine)
{
    EXPECT_EQ(DescribeFrameZh(DecodeFrame(Bytes(STATUS_ZONE1))), "命令：状态 (0x02)\n"
                                                                 "长度字节：12  数据报：12 字节\n"
                                                                 "通讯机号：0  设备编号：1\n"
                                                                 "防区报警：1\n"
                                                                 "设备标志：撤防、无交流电\n"
                                                                 "防区撤防：无\n"
                                                                 "校验和：正确 (0x21)");
    EXPECT_EQ(DescribeFrameZh(DecodeFrame(Bytes("08 00 F1 00 05 00 82 FF"))),
              "命令：状态确认 (0x82)\n"
              "长度字节：8  数据报：8 字节\n"
              "通讯机号：0  设备编号：241\n"
              "保留字节：0x00 0x05 0x00\n"
              "校验和：错误，应为 0x80，实为 0xFF\n"
              "问题：校验和错误、保留字节不为零、设备编号超出范围");
    EXPECT_EQ(DescribeFrameZh(DecodeFrame(Bytes(DEBUG_FRAME))), "命令：调试 (0x3E)\n"
                                                                "长度字节：18  数据报：18 字节\n"
                                                                "通讯机号：0  设备编号：0\n"
                                                                "校验和：无校验和");
    // A fault frame's one status byte is its zones in alarm.
    EXPECT_EQ(DescribeFrameZh(DecodeFrame(Bytes("09 00 01 00 00 00 03 01 0E"))),
              "命令：故障 (0x03)\n长度字节：9  数据报：9 字节\n通讯机号：0  设备编号：1\n防区报警：1\n"
              "校验和：正确 (0x0E)");
    EXPECT_EQ(DescribeFrameZh(DecodeFrame({})), "数据报：0 字节\n问题：帧不完整");
}

TEST(FrameDecoderNames, KeysAndMasksInBitOrder)
{
    std::uint16_t mask = 1;
    for (const NamedBit& name : FindingNames()) {
        EXPECT_EQ(name.mask, mask) << name.key;
        mask = static_cast<std::uint16_t>(mask << 1);
    }
    EXPECT_EQ(mask, static_cast<std::uint16_t>(Truncated) << 1);
    EXPECT_EQ(DeviceFlagNames().size(), 7U);
    EXPECT_EQ(DeviceFlagNames().back().mask, 0x40);
    EXPECT_EQ(CommandKey(FaultRestore), "fault_restore");
    EXPECT_EQ(CommandNameZh(Online), "设备在线");
}

} // namespace
