#pragma once

#include "protocol/endpoint.h"
#include "protocol/frame_decoder.h"
#include "protocol/log_line.h"
#include "protocol/pcap_writer.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace veltrano {

// A named value that a command adds to its frame records or its summary: a verdict, a frame number.
struct RecordField
{
    std::string_view key;
    std::variant<std::uint64_t, std::int64_t, double, std::string_view, bool> value;
};

// Every datagram in or out, as each front end and command logs it: one record, written by the writers
// below as a text line, a JSON line or a pcap record. The bytes are the caller's and must outlive the
// record.
struct FrameRecord
{
    std::int64_t wallUs{0}; // wall clock, microseconds since the epoch: what a line shows
    Direction direction{Direction::In};
    Endpoint peer;  // the far side
    Endpoint local; // this side, for the capture; 0.0.0.0 when not known
    std::span<const std::uint8_t> bytes;
    DecodedFrame decoded; // of `bytes`, made once with the record
    int sendError{0};     // the system's error number of a send that failed
    // Round trip of an acknowledgement paired with a frame this run sent, from the monotonic clock.
    std::optional<std::int64_t> rttUs;
    std::string_view note; // what a fault option or a check made of it, in a few words
    std::span<const RecordField> extra;
};

// A record of the bytes, decoded once.
FrameRecord MakeRecord(std::int64_t wallUs, Direction direction, const Endpoint& peer, const Endpoint& local,
                       std::span<const std::uint8_t> bytes, int sendError = 0);

// "<time> <in|out> <peer> <display line> | <summary>", then " (send failed: <reason>)" for a failed send,
// " (rtt N us)" for a paired acknowledgement, " (<note>)", " key=value" for each extra field; a newline.
void AppendTextLine(std::string& out, const FrameRecord& record);
// {"type":"frame","ts":...,"dir":...,"peer":...} then the frame's fields (AppendFrameFields), "rtt_us",
// "note", "error" when present, the extra fields; a newline. The keys are listed in docs/frame.schema.json.
void AppendJsonLine(std::string& out, const FrameRecord& record);
// The keys every frame object has, whether it came off the wire or from `decode`: "len", "hex",
// "declared_length", "cmd", "kind", "comm", "dev", "ack", "status", "checksum", "checksum_ok", "findings",
// "summary". A field the datagram is too short to hold is null.
class JsonLine;
void AppendFrameFields(JsonLine& line, std::span<const std::uint8_t> bytes, const DecodedFrame& decoded);
// The capture record: from the peer to this side for a received datagram, the other way for a sent one.
CapturedDatagram CapturedOf(const FrameRecord& record);

// " key=value" for a text line; the key and value for a JSON one.
void AppendFieldText(std::string& out, const RecordField& field);
void AppendFieldJson(JsonLine& line, const RecordField& field);

// "good", "bad", "none" (the debug frame's), "missing".
std::string_view ChecksumKey(ChecksumState state);

} // namespace veltrano
