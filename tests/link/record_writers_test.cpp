#include "link/frame_record.h"
#include "link/json_line.h"
#include "link/line_output.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace veltrano;

namespace {

using known::STATUS;
const std::vector<std::uint8_t>& ACK = known::STATUS_ACK;

std::string Text(const FrameRecord& record)
{
    std::string out;
    AppendTextLine(out, record);
    return out;
}

std::string Json(const FrameRecord& record)
{
    std::string out;
    AppendJsonLine(out, record);
    return out;
}

TEST(RecordWriters, TextLineNamesTimeDirectionPeerLineAndDecoding)
{
    FrameRecord sent =
        MakeRecord(1'765'226'908'123'456, Direction::Out, {LOOPBACK_ADDRESS, 8015}, {}, STATUS);
    EXPECT_EQ(Text(sent),
              "2025-12-08T20:48:28.123456Z out 127.0.0.1:8015  0C 00 01 00 00 00 02 01 11 00 00 21 | "
              "Status comm 0 dev 1 alarm: zone 1 flags: disarmed,mains_absent\n");
    FrameRecord failed = MakeRecord(0, Direction::In, {Ipv4(203, 0, 113, 7), 65535}, {}, ACK, EACCES);
    failed.rttUs = 151;
    failed.note = "retry";
    EXPECT_EQ(Text(failed),
              "1970-01-01T00:00:00.000000Z in 203.0.113.7:65535  08 00 01 00 00 00 82 8B | "
              "ACK status comm 0 dev 1 (send failed: Permission denied) (rtt 151 us) (retry)\n");
    // Every digit of every octet: 10, 100 and 0 are not cut short. A record only; nothing is sent.
    EXPECT_NE(
        Text(MakeRecord(0, Direction::In, {Ipv4(127, 100, 0, 10), 1}, {}, ACK)).find(" 127.100.0.10:1 "),
        std::string::npos);
    EXPECT_EQ(FormatTimestampUtc(-1), "1969-12-31T23:59:59.999999Z");
}

TEST(RecordWriters, JsonLineHasTheFrameKeysWithNullsForWhatAShortDatagramLacks)
{
    FrameRecord record = MakeRecord(0, Direction::In, {LOOPBACK_ADDRESS, 8015}, {}, ACK);
    record.rttUs = 42;
    const RecordField extra[] = {{"verdict", std::string_view("same")}, {"capture_frame", std::uint64_t{3}}};
    record.extra = extra;
    EXPECT_EQ(
        Json(record),
        R"({"type":"frame","ts":"1970-01-01T00:00:00.000000Z","dir":"in","peer":"127.0.0.1:8015","len":8,)"
        R"("hex":"08 00 01 00 00 00 82 8B","declared_length":8,"cmd":130,"kind":"status","comm":0,"dev":1,)"
        R"("ack":true,"status":[],"checksum":"good","checksum_ok":true,"findings":[],)"
        R"("summary":"ACK status comm 0 dev 1","rtt_us":42,"verdict":"same","capture_frame":3})"
        "\n");
    const std::string shortOne = Json(MakeRecord(0, Direction::Out, {}, {}, Bytes("0C 00")));
    EXPECT_NE(shortOne.find(R"("cmd":null,"kind":"unknown","comm":0,"dev":null)"), std::string::npos)
        << shortOne;
}

TEST(RecordWriters, JsonTextsAreEscaped)
{
    std::string out;
    JsonLine(out)
        .Text("note", "a \"b\"\\\n")
        .Number("n", -1)
        .Number("x", 0.5)
        .Bool("b", false)
        .Null("z")
        .End();
    EXPECT_EQ(out, R"({"note":"a \"b\"\\\u000a","n":-1,"x":0.5,"b":false,"z":null})"
                   "\n");
}

TEST(RecordWriters, CaptureRecordRunsFromSenderToReceiver)
{
    const Endpoint far{LOOPBACK_ADDRESS, 8015};
    const Endpoint near{Ipv4(127, 0, 0, 2), 7015};
    const CapturedDatagram in = CapturedOf(MakeRecord(5, Direction::In, far, near, ACK));
    EXPECT_EQ(in.sourcePort, 8015);
    EXPECT_EQ(in.destinationAddress, Ipv4(127, 0, 0, 2));
    const CapturedDatagram out = CapturedOf(MakeRecord(5, Direction::Out, far, near, STATUS));
    EXPECT_EQ(out.sourcePort, 7015);
    EXPECT_EQ(out.destinationAddress, LOOPBACK_ADDRESS);
    EXPECT_EQ(out.timeUs, 5);
}

TEST(RecordWriters, SummaryInTextAndJson)
{
    const RecordField fields[] = {{"sent", std::uint64_t{2}}, {"rate", 1.5}, {"exit", std::uint64_t{0}}};
    std::string text;
    AppendSummary(text, veltrano::OutputFormat::Text, "send", fields);
    EXPECT_EQ(text, "summary: send sent=2 rate=1.5 exit=0\n");
    std::string json;
    AppendSummary(json, veltrano::OutputFormat::JsonLines, "send", fields);
    EXPECT_EQ(json, R"({"type":"summary","command":"send","sent":2,"rate":1.5,"exit":0})"
                    "\n");
}

TEST(RecordWriters, RoundTripFieldsNameEachPercentile)
{
    RoundTrips trips;
    for (std::int64_t us = 1; us <= 100; ++us)
        trips.Add(us);
    std::string text;
    AppendSummary(text, veltrano::OutputFormat::Text, "sweep", RoundTripFields(trips));
    EXPECT_EQ(text, "summary: sweep rtt_p50_us=50 rtt_p90_us=90 rtt_p99_us=99 rtt_max_us=100\n");
}

} // namespace
