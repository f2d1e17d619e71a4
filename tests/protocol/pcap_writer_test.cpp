#include "protocol/pcap_writer.h"
#include "tests/support/known_frames.h"
#include "tests/support/pcap_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

using namespace veltrano;

namespace {

std::string Hex(const std::string& bytes)
{
    std::string text;
    char pair[4];
    for (const char c : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
        text += pair;
    }
    return text;
}

std::vector<std::uint8_t> AsBytes(const std::string& s)
{
    return {s.begin(), s.end()};
}

constexpr std::uint32_t Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return std::uint32_t{a} << 24 | std::uint32_t{b} << 16 | std::uint32_t{c} << 8 | d;
}

const std::vector<std::uint8_t> ONLINE{0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x0A};
using known::STATUS;

// A file in the test's temporary folder, removed afterwards.
class TempPath
{
public:
    explicit TempPath(std::string_view name)
        : m_path(::testing::TempDir() + "veltrano_" + std::to_string(::getpid()) + "_" + std::string(name))
    {}
    ~TempPath() { std::filesystem::remove(m_path); }
    const std::string& str() const { return m_path; }

private:
    std::string m_path;
};

// Written by hand from the formats, so that the writer and the reader cannot share a mistake.
TEST(PcapWriter, BytesOfTheHeaderAndOneRecord)
{
    std::string out;
    AppendPcapFileHeader(out);
    EXPECT_EQ(Hex(out), "d4c3b2a1"
                        "0200"
                        "0400"
                        "00000000"
                        "00000000"
                        "ffff0000"
                        "65000000");

    out.clear();
    AppendPcapRecord(out, {1'000'002, Ip(192, 168, 1, 10), 5000, Ip(10, 0, 0, 2), 6001, ONLINE}, 0x1234);
    EXPECT_EQ(Hex(out), "01000000"
                        "02000000"
                        "24000000"
                        "24000000" // 1 s 2 us, 36 bytes captured of 36
                        "45000024"
                        "12344000"
                        "40115ce1"
                        "c0a8010a"
                        "0a000002" // IPv4
                        "13881771"
                        "00100000" // UDP
                        "080001000000010a");
}

TEST(PcapWriter, FileReadsBackRecordByRecord)
{
    const TempPath path("two_records.pcap");
    const CapturedDatagram sent[] = {
        {1'700'000'000'123'456, Ip(192, 168, 1, 10), 5000, Ip(10, 0, 0, 2), 6001, STATUS},
        {1'700'000'001'000'001, Ip(10, 0, 0, 2), 6001, Ip(192, 168, 1, 10), 5000, ONLINE},
    };
    PcapFileWriter writer;
    ASSERT_TRUE(writer.Open(path.str()));
    EXPECT_TRUE(writer.IsOpen());
    for (const CapturedDatagram& d : sent)
        EXPECT_TRUE(writer.Write(d));
    EXPECT_TRUE(writer.Close());
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_TRUE(writer.Close()); // closing twice is harmless

    const PcapReadResult read = ReadPcapFile(path.str());
    ASSERT_EQ(read.error, std::nullopt); // the reader checks the IPv4 header checksum and the lengths
    ASSERT_EQ(read.records.size(), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const PcapUdpRecord& r = read.records[i];
        EXPECT_EQ(r.timeUs, sent[i].timeUs);
        EXPECT_EQ(r.sourceAddress, sent[i].sourceAddress);
        EXPECT_EQ(r.sourcePort, sent[i].sourcePort);
        EXPECT_EQ(r.destinationAddress, sent[i].destinationAddress);
        EXPECT_EQ(r.destinationPort, sent[i].destinationPort);
        EXPECT_EQ(r.payload, std::vector<std::uint8_t>(sent[i].payload.begin(), sent[i].payload.end()));
        EXPECT_EQ(r.identification, i);      // counted per file
        EXPECT_EQ(r.flagsAndOffset, 0x4000); // DF
        EXPECT_EQ(r.ttl, 64);
        EXPECT_EQ(r.udpChecksum, 0);
    }
}

TEST(PcapWriter, NegativeTimeIsWrittenAsZero)
{
    std::string out;
    AppendPcapFileHeader(out);
    AppendPcapRecord(out, {-5, 1, 2, 3, 4, ONLINE});
    const PcapReadResult read = ParsePcap(AsBytes(out));
    ASSERT_EQ(read.error, std::nullopt);
    ASSERT_EQ(read.records.size(), 1U);
    EXPECT_EQ(read.records[0].timeUs, 0);
}

TEST(PcapWriter, WritesOnceTheBufferPasses64KiB)
{
    const TempPath path("buffered.pcap");
    PcapFileWriter writer;
    ASSERT_TRUE(writer.Open(path.str()));
    const std::vector<std::uint8_t> payload(1000, 0x5A);
    for (int i = 0; i < 70; ++i) // 70 records of 1044 bytes
        ASSERT_TRUE(writer.Write({i, 1, 2, 3, 4, payload}));
    EXPECT_GE(std::filesystem::file_size(path.str()), 64U * 1024U);
    EXPECT_TRUE(writer.Close());
    EXPECT_EQ(std::filesystem::file_size(path.str()), 24U + 70U * 1044U);
}

TEST(PcapWriter, ReportsTheSystemsReason)
{
    PcapFileWriter writer;
    const auto full = writer.Open("/dev/full");
    ASSERT_FALSE(full);
    EXPECT_NE(full.error().find("/dev/full"), std::string::npos) << full.error();
    EXPECT_NE(full.error().find(std::strerror(ENOSPC)), std::string::npos) << full.error();
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_FALSE(writer.Write({0, 1, 2, 3, 4, ONLINE}));

    const auto missing = writer.Open("/nonexistent-dir/x.pcap");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find(std::strerror(ENOENT)), std::string::npos) << missing.error();
    EXPECT_TRUE(writer.Close());
}

TEST(PcapWriter, TheFirstWriteErrorSticks)
{
    // A pipe whose reader goes away after the header: the flush of a full buffer fails with EPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    PcapFileWriter writer;
    ASSERT_TRUE(writer.Open("/proc/self/fd/" + std::to_string(pipe[1])));
    ::close(pipe[0]);
    const std::vector<std::uint8_t> payload(1000, 0x5A);
    Status status;
    for (int i = 0; i < 70 && status; ++i)
        status = writer.Write({i, 1, 2, 3, 4, payload});
    ASSERT_FALSE(status);
    EXPECT_NE(status.error().find(std::strerror(EPIPE)), std::string::npos) << status.error();
    EXPECT_FALSE(writer.Write({0, 1, 2, 3, 4, ONLINE}));
    EXPECT_FALSE(writer.Flush());
    EXPECT_FALSE(writer.Close());
    ::close(pipe[1]);
}

TEST(PcapReader, RejectsAWrongIpv4HeaderChecksum)
{
    std::string out;
    AppendPcapFileHeader(out);
    AppendPcapRecord(out, {0, 1, 2, 3, 4, ONLINE});
    std::vector<std::uint8_t> bytes = AsBytes(out);
    bytes[24 + 16 + 8] = 63; // the TTL
    const PcapReadResult read = ParsePcap(bytes);
    ASSERT_TRUE(read.error.has_value());
    EXPECT_NE(read.error->find("checksum"), std::string::npos) << *read.error;
}

} // namespace
