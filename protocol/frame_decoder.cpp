#include "protocol/frame_decoder.h"

#include "protocol/translatable.h"

#include <algorithm>
#include <charconv>

namespace veltrano {

namespace {

// Seven header bytes (length to command) and a checksum: the smallest frame the protocol has.
inline constexpr std::size_t HEADER_SIZE = 7;
inline constexpr std::size_t SMALLEST_FRAME = HEADER_SIZE + 1;
inline constexpr std::size_t FIRST_RESERVED = 3;

constexpr NamedBit FINDING_NAMES[] = {
    {static_cast<std::uint16_t>(Finding::LengthMismatch), "length_mismatch",
     VELTRANO_TEXT("FrameDecoding", "长度字节与数据报长度不符")},
    {static_cast<std::uint16_t>(Finding::BadChecksum), "bad_checksum",
     VELTRANO_TEXT("FrameDecoding", "校验和错误")},
    {static_cast<std::uint16_t>(Finding::ReservedNotZero), "reserved_not_zero",
     VELTRANO_TEXT("FrameDecoding", "保留字节不为零")},
    {static_cast<std::uint16_t>(Finding::CommOutOfRange), "comm_out_of_range",
     VELTRANO_TEXT("FrameDecoding", "通讯机号超出范围")},
    {static_cast<std::uint16_t>(Finding::DeviceOutOfRange), "device_out_of_range",
     VELTRANO_TEXT("FrameDecoding", "设备编号超出范围")},
    {static_cast<std::uint16_t>(Finding::UnknownCommand), "unknown_command",
     VELTRANO_TEXT("FrameDecoding", "未知命令")},
    {static_cast<std::uint16_t>(Finding::Truncated), "truncated", VELTRANO_TEXT("FrameDecoding", "帧不完整")},
};

constexpr NamedBit DEVICE_FLAG_NAMES[] = {
    {0x01, "disarmed", VELTRANO_TEXT("FrameDecoding", "撤防")},
    {0x02, "help", VELTRANO_TEXT("FrameDecoding", "紧急求助")},
    {0x04, "tamper", VELTRANO_TEXT("FrameDecoding", "被撬")},
    {0x08, "battery", VELTRANO_TEXT("FrameDecoding", "电池异常")},
    {0x10, "mains_absent", VELTRANO_TEXT("FrameDecoding", "无交流电")},
    {0x20, "test_mode", VELTRANO_TEXT("FrameDecoding", "测试模式")},
    {0x40, "under_voltage", VELTRANO_TEXT("FrameDecoding", "欠压")},
};

std::string Hex2(std::uint8_t value)
{
    std::string text = "0x";
    AppendHexByte(text, value);
    return text;
}

// "1,3" or "1、3": the zones whose bits are set, appended.
void AppendZoneList(std::string& out, std::uint8_t bits, std::string_view separator)
{
    bool first = true;
    for (std::size_t zone = 1; zone <= ZONE_SET_MASK.size(); ++zone) {
        if ((bits & ZONE_SET_MASK[zone - 1]) == 0)
            continue;
        if (!first)
            out += separator;
        out += static_cast<char>('0' + zone);
        first = false;
    }
}

std::string ZoneList(std::uint8_t bits, std::string_view separator)
{
    std::string text;
    AppendZoneList(text, bits, separator);
    return text;
}

void AppendDecimal(std::string& out, unsigned value)
{
    char digits[12];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

bool HasStatusByte(const DecodedFrame& frame, StatusByte which)
{
    return frame.statusCount > which;
}

} // namespace

DecodedFrame DecodeFrame(std::span<const std::uint8_t> datagram)
{
    DecodedFrame frame;
    frame.size = datagram.size();
    if (datagram.empty()) {
        frame.findings.Add(Finding::Truncated);
        return frame;
    }
    const auto present = [&](std::size_t index) { return index < datagram.size(); };

    frame.declaredLength = datagram[FRAME_LENGTH];
    if (frame.declaredLength != datagram.size())
        frame.findings.Add(Finding::LengthMismatch);

    if (present(FRAME_COMM_NO)) {
        frame.comm = datagram[FRAME_COMM_NO];
        if (frame.comm > MAX_ADDRESS_NUMBER)
            frame.findings.Add(Finding::CommOutOfRange);
    }
    if (present(FRAME_DEVICE_NO)) {
        frame.device = datagram[FRAME_DEVICE_NO];
        if (frame.device > MAX_ADDRESS_NUMBER)
            frame.findings.Add(Finding::DeviceOutOfRange);
    }
    for (std::size_t i = 0; i < frame.reserved.size() && present(FIRST_RESERVED + i); ++i) {
        frame.reserved[i] = datagram[FIRST_RESERVED + i];
        if (frame.reserved[i] != 0)
            frame.findings.Add(Finding::ReservedNotZero);
    }

    if (!present(FRAME_COMMAND)) {
        frame.findings.Add(Finding::Truncated);
        return frame; // no command: no kind, no payload, no checksum
    }
    frame.command = datagram[FRAME_COMMAND];
    frame.ack = (frame.command & ACK_FLAG) != 0;
    const CommandRow& command = CommandOfByte(frame.command);
    frame.kind = command.kind;
    if (frame.kind == CommandKind::Unknown && !frame.ack)
        frame.findings.Add(Finding::UnknownCommand);
    // Every acknowledgement is 8 bytes.
    if (datagram.size() < (frame.ack ? ACK_FRAME_LENGTH : command.length))
        frame.findings.Add(Finding::Truncated);

    const bool debug = frame.kind == CommandKind::Debug && !frame.ack;
    if (!debug) {
        // Payload bytes 7 to length-2, at most four, and only those the datagram holds.
        const std::size_t declaredPayload =
            frame.declaredLength > SMALLEST_FRAME ? frame.declaredLength - SMALLEST_FRAME : 0;
        const std::size_t held = datagram.size() - HEADER_SIZE;
        frame.statusCount = static_cast<std::uint8_t>(std::min({declaredPayload, held, frame.status.size()}));
        std::copy_n(datagram.begin() + FRAME_STATUS, frame.statusCount, frame.status.begin());
    }

    // The checksum's place follows the declared length, as the sender computed it, and comes after the
    // command: a declared length under 8 leaves it no place.
    if (frame.declaredLength < SMALLEST_FRAME || !present(frame.declaredLength - 1U)) {
        frame.checksum = ChecksumState::Missing;
        return frame;
    }
    frame.checksumExpected = FrameChecksum(datagram);
    frame.checksumFound = datagram[frame.declaredLength - 1U];
    if (debug && frame.checksumFound == 0)
        frame.checksum = ChecksumState::None;
    else if (frame.checksumFound == frame.checksumExpected)
        frame.checksum = ChecksumState::Good;
    else {
        frame.checksum = ChecksumState::Bad;
        frame.findings.Add(Finding::BadChecksum);
    }
    return frame;
}

std::span<const NamedBit> FindingNames()
{
    return FINDING_NAMES;
}

std::span<const NamedBit> DeviceFlagNames()
{
    return DEVICE_FLAG_NAMES;
}

void AppendNameList(std::string& out, std::span<const NamedBit> names, std::uint16_t bits,
                    std::string_view NamedBit::*field, std::string_view separator)
{
    bool first = true;
    for (const NamedBit& name : names) {
        if ((bits & name.mask) == 0)
            continue;
        if (!first)
            out += separator;
        out += name.*field;
        first = false;
    }
}

std::string SummarizeFrame(const DecodedFrame& frame)
{
    std::string line;
    AppendFrameSummary(line, frame);
    return line;
}

void AppendFrameSummary(std::string& line, const DecodedFrame& frame)
{
    if (frame.size <= FRAME_COMMAND) {
        line += "Short ";
        AppendDecimal(line, static_cast<unsigned>(frame.size));
        line += frame.size == 1 ? " byte" : " bytes";
    } else {
        if (frame.ack)
            line += "ACK ";
        const std::string_view name = CommandOf(frame.kind).name;
        line += frame.ack ? static_cast<char>(name[0] - 'A' + 'a') : name[0];
        line += name.substr(1);
        if (frame.kind == CommandKind::Unknown) {
            line += " 0x";
            AppendHexByte(line, static_cast<std::uint8_t>(frame.command & ~ACK_FLAG));
        }
        line += " comm ";
        AppendDecimal(line, frame.comm);
        line += " dev ";
        AppendDecimal(line, frame.device);

        if (CommandOf(frame.kind).payload == StatusBytes{}.size() && !frame.ack) {
            const auto zones = [&](std::string_view label, StatusByte which) {
                const std::uint8_t bits = frame.status[which];
                if (!HasStatusByte(frame, which) || bits == 0)
                    return;
                line += ' ';
                line += label;
                line += (bits & (bits - 1)) == 0 ? ": zone " : ": zones ";
                AppendZoneList(line, bits, ",");
            };
            zones("alarm", ZoneAlarm);
            zones("disarmed", ZoneDisarm);
            if (HasStatusByte(frame, DeviceFlags) && (frame.status[DeviceFlags] & 0x7F) != 0) {
                line += " flags: ";
                AppendNameList(line, DeviceFlagNames(), frame.status[DeviceFlags], &NamedBit::key, ",");
            }
        }
    }
    if (!frame.findings.Empty()) {
        line += " [";
        AppendNameList(line, FindingNames(), frame.findings.Bits(), &NamedBit::key, ",");
        line += ']';
    }
}

namespace {

// The lines of a frame's description, each "label：value", in the wording given.
class Description final
{
public:
    explicit Description(DecodingWording wording) : m_wording(wording) {}

    std::string Word(std::string_view chinese) const
    {
        return m_wording != nullptr ? m_wording(chinese) : std::string(chinese);
    }
    const std::string& Colon() const { return m_colon; }
    const std::string& ListSeparator() const { return m_listSeparator; }
    // " 字节", appended rather than `" " + Word(...)`, which trips gcc 12's -Wrestrict in optimised builds.
    std::string BytesWord() const
    {
        std::string bytes(1, ' ');
        bytes += Word(VELTRANO_TEXT("FrameDecoding", "字节"));
        return bytes;
    }
    std::string Names(std::span<const NamedBit> table, std::uint16_t bits) const
    {
        std::string list;
        for (const NamedBit& name : table) {
            if ((bits & name.mask) == 0)
                continue;
            if (!list.empty())
                list += m_listSeparator;
            list += Word(name.zh);
        }
        return list;
    }
    std::string OrNone(std::string list) const
    {
        return list.empty() ? Word(VELTRANO_TEXT("FrameDecoding", "无")) : list;
    }
    void Add(std::string_view label, const std::string& value)
    {
        if (!m_text.empty())
            m_text += '\n';
        m_text += Word(label);
        m_text += m_colon;
        m_text += value;
    }
    std::string Text() && { return std::move(m_text); }

private:
    DecodingWording m_wording;
    std::string m_colon{Word(VELTRANO_TEXT("FrameDecoding", "："))};
    std::string m_listSeparator{Word(VELTRANO_TEXT("FrameDecoding", "、"))};
    std::string m_text;
};

// The command, the length, the address and any reserved bytes that are not zero.
void DescribeHead(const DecodedFrame& frame, Description& out)
{
    if (frame.size > FRAME_COMMAND) {
        std::string name = out.Word(CommandOf(frame.kind).zh);
        if (frame.ack)
            name += out.Word(VELTRANO_TEXT("FrameDecoding", "确认"));
        out.Add(VELTRANO_TEXT("FrameDecoding", "命令"), name + " (" + Hex2(frame.command) + ")");
    }
    if (frame.size > 0)
        out.Add(VELTRANO_TEXT("FrameDecoding", "长度字节"),
                std::to_string(frame.declaredLength) + "  " +
                    out.Word(VELTRANO_TEXT("FrameDecoding", "数据报")) + out.Colon() +
                    std::to_string(frame.size) + out.BytesWord());
    else {
        std::string size = "0";
        size += out.BytesWord(); // appended: `"0" + ...` trips gcc 12's -Wrestrict at -O3
        out.Add(VELTRANO_TEXT("FrameDecoding", "数据报"), size);
    }
    if (frame.size > FRAME_DEVICE_NO)
        out.Add(VELTRANO_TEXT("FrameDecoding", "通讯机号"),
                std::to_string(frame.comm) + "  " + out.Word(VELTRANO_TEXT("FrameDecoding", "设备编号")) +
                    out.Colon() + std::to_string(frame.device));
    else if (frame.size > FRAME_COMM_NO)
        out.Add(VELTRANO_TEXT("FrameDecoding", "通讯机号"), std::to_string(frame.comm));
    if (frame.findings.Has(Finding::ReservedNotZero)) {
        std::string bytes;
        for (std::size_t i = 0; i < frame.reserved.size() && FIRST_RESERVED + i < frame.size; ++i) {
            if (i != 0)
                bytes += ' ';
            bytes += Hex2(frame.reserved[i]);
        }
        out.Add(VELTRANO_TEXT("FrameDecoding", "保留字节"), bytes);
    }
}

// The status bytes whose meaning the command gives, each as far as the frame holds it.
void DescribeStatus(const DecodedFrame& frame, Description& out)
{
    const std::uint8_t meant = frame.ack ? 0 : CommandOf(frame.kind).payload;
    if (meant > ZoneAlarm && HasStatusByte(frame, ZoneAlarm))
        out.Add(VELTRANO_TEXT("FrameDecoding", "防区报警"),
                out.OrNone(ZoneList(frame.status[ZoneAlarm], out.ListSeparator())));
    if (meant > DeviceFlags && HasStatusByte(frame, DeviceFlags))
        out.Add(VELTRANO_TEXT("FrameDecoding", "设备标志"),
                out.OrNone(out.Names(DeviceFlagNames(), frame.status[DeviceFlags])));
    if (meant > ZoneDisarm && HasStatusByte(frame, ZoneDisarm))
        out.Add(VELTRANO_TEXT("FrameDecoding", "防区撤防"),
                out.OrNone(ZoneList(frame.status[ZoneDisarm], out.ListSeparator())));
}

std::string ChecksumText(const DecodedFrame& frame, const Description& out)
{
    switch (frame.checksum) {
    case ChecksumState::Good:
        return out.Word(VELTRANO_TEXT("FrameDecoding", "正确")) + " (" + Hex2(frame.checksumFound) + ")";
    case ChecksumState::Bad:
        return out.Word(VELTRANO_TEXT("FrameDecoding", "错误，应为")) + " " + Hex2(frame.checksumExpected) +
               out.Word(VELTRANO_TEXT("FrameDecoding", "，实为")) + " " + Hex2(frame.checksumFound);
    case ChecksumState::None:
        return out.Word(VELTRANO_TEXT("FrameDecoding", "无校验和"));
    case ChecksumState::Missing:
        break;
    }
    return out.Word(VELTRANO_TEXT("FrameDecoding", "缺失"));
}

} // namespace

std::string DescribeFrame(const DecodedFrame& frame, DecodingWording wording)
{
    Description out(wording);
    DescribeHead(frame, out);
    DescribeStatus(frame, out);
    if (frame.size > FRAME_COMMAND)
        out.Add(VELTRANO_TEXT("FrameDecoding", "校验和"), ChecksumText(frame, out));
    if (!frame.findings.Empty())
        out.Add(VELTRANO_TEXT("FrameDecoding", "问题"), out.Names(FindingNames(), frame.findings.Bits()));
    return std::move(out).Text();
}

std::string DescribeFrameZh(const DecodedFrame& frame)
{
    return DescribeFrame(frame, nullptr);
}

} // namespace veltrano
