#include "link/frame_record.h"
#include "protocol/enum_table.h"

#include "link/json_line.h"
#include "protocol/frame.h"

#include <charconv>
#include <cstring>

namespace veltrano {

namespace {

void AppendDecimal(std::string& out, std::int64_t value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

} // namespace

void AppendFieldText(std::string& out, const RecordField& field)
{
    out += ' ';
    out += field.key;
    out += '=';
    std::visit(
        [&out](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string_view>) {
                out += value;
            } else if constexpr (std::is_same_v<T, bool>) {
                out += value ? "true" : "false";
            } else {
                char digits[32];
                out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
            }
        },
        field.value);
}

void AppendFieldJson(JsonLine& line, const RecordField& field)
{
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string_view>)
                line.Text(field.key, value);
            else if constexpr (std::is_same_v<T, bool>)
                line.Bool(field.key, value);
            else
                line.Number(field.key, value);
        },
        field.value);
}

std::string_view ChecksumKey(ChecksumState state)
{
    // In ChecksumState order.
    static constexpr std::string_view KEYS[] = {"good", "bad", "none", "missing"};
    return RowOf(KEYS, state);
}

FrameRecord MakeRecord(std::int64_t wallUs, Direction direction, const Endpoint& peer, const Endpoint& local,
                       std::span<const std::uint8_t> bytes, int sendError)
{
    FrameRecord record;
    record.wallUs = wallUs;
    record.direction = direction;
    record.peer = peer;
    record.local = local;
    record.bytes = bytes;
    record.decoded = DecodeFrame(bytes);
    record.sendError = sendError;
    return record;
}

void AppendTextLine(std::string& out, const FrameRecord& record)
{
    AppendTimestampUtc(out, record.wallUs);
    out += record.direction == Direction::In ? " in " : " out ";
    AppendPeer(out, record.peer.address, record.peer.port);
    out += ' ';
    AppendDatagramHex(out, record.bytes);
    out += " | ";
    AppendFrameSummary(out, record.decoded);
    if (record.sendError != 0) {
        out += " (send failed: ";
        out += std::strerror(record.sendError);
        out += ')';
    }
    if (record.rttUs) {
        out += " (rtt ";
        AppendDecimal(out, *record.rttUs);
        out += " us)";
    }
    if (!record.note.empty()) {
        out += " (";
        out += record.note;
        out += ')';
    }
    for (const RecordField& field : record.extra)
        AppendFieldText(out, field);
    out += '\n';
}

void AppendFrameFields(JsonLine& line, std::span<const std::uint8_t> bytes, const DecodedFrame& f)
{
    line.Number("len", bytes.size());
    std::string& hex = line.Key("hex");
    hex += '"';
    AppendBytesHex(hex, bytes);
    hex += '"';
    // A byte the datagram is too short to hold is null.
    const auto byteAt = [&](std::string_view key, std::size_t index, std::uint8_t value) {
        if (f.size > index)
            line.Number(key, value);
        else
            line.Null(key);
    };
    byteAt("declared_length", FRAME_LENGTH, f.declaredLength);
    byteAt("cmd", FRAME_COMMAND, f.command);
    line.Text("kind", CommandKey(f.kind));
    byteAt("comm", FRAME_COMM_NO, f.comm);
    byteAt("dev", FRAME_DEVICE_NO, f.device);
    line.Bool("ack", f.ack);
    std::string& status = line.Key("status");
    status += '[';
    for (std::size_t i = 0; i < f.statusCount; ++i) {
        if (i != 0)
            status += ',';
        AppendDecimal(status, f.status[i]);
    }
    status += ']';
    line.Text("checksum", ChecksumKey(f.checksum));
    line.Bool("checksum_ok", f.ChecksumOk());
    AppendJsonKeys(line.Key("findings"), f.findings.Bits(), FindingNames());
    // The summary is plain ASCII without quotes or backslashes: it needs no escapes.
    std::string& summary = line.Key("summary");
    summary += '"';
    AppendFrameSummary(summary, f);
    summary += '"';
}

void AppendJsonLine(std::string& out, const FrameRecord& record)
{
    JsonLine line(out);
    line.Text("type", "frame");
    std::string& ts = line.Key("ts");
    ts += '"';
    AppendTimestampUtc(ts, record.wallUs);
    ts += '"';
    line.Text("dir", record.direction == Direction::In ? "in" : "out");
    std::string& peer = line.Key("peer");
    peer += '"';
    AppendPeer(peer, record.peer.address, record.peer.port);
    peer += '"';
    AppendFrameFields(line, record.bytes, record.decoded);
    if (record.rttUs)
        line.Number("rtt_us", *record.rttUs);
    if (!record.note.empty())
        line.Text("note", record.note);
    if (record.sendError != 0)
        line.Text("error", std::strerror(record.sendError));
    for (const RecordField& field : record.extra)
        AppendFieldJson(line, field);
    line.End();
}

CapturedDatagram CapturedOf(const FrameRecord& record)
{
    const bool in = record.direction == Direction::In;
    const Endpoint& from = in ? record.peer : record.local;
    const Endpoint& to = in ? record.local : record.peer;
    return {record.wallUs, from.address, from.port, to.address, to.port, record.bytes};
}

} // namespace veltrano
