#include "capture/capture_reader.h"
#include "sim/sweep_walk.h"
#include "tests/support/capture_files.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace veltrano;

namespace {

// Addresses as captured, from the documentation ranges: only ever read, never sent to.
const Endpoint PANEL{Ipv4(192, 0, 2, 3), 40001};
const Endpoint CENTRE{Ipv4(203, 0, 113, 7), 7015};

std::uint64_t Skips(const CaptureReader& reader, SkipReason reason)
{
    return reader.Skipped()[static_cast<std::size_t>(reason)];
}

class CaptureReaderTest : public ::testing::Test
{
protected:
    std::string Write(const std::string& bytes)
    {
        const std::string path = dir.filePath(QStringLiteral("c%1.pcap").arg(++files)).toStdString();
        EXPECT_TRUE(WriteBytes(path, bytes));
        return path;
    }

    QTemporaryDir dir;
    int files{0};
    SweepWalk::Frame frame = SweepWalk(1).Next();
};

TEST_F(CaptureReaderTest, ReadsTheDatagramOfEveryLinkType)
{
    struct Case
    {
        const char* name;
        TestLink link;
        bool nanoseconds;
    };
    const Case cases[] = {
        {"raw", TestLink::Raw, false},
        {"raw, nanoseconds", TestLink::Raw, true},
        {"ethernet", TestLink::Ethernet, false},
        {"802.1Q", TestLink::Vlan, false},
        {"QinQ", TestLink::QinQ, true},
        {"linux cooked", TestLink::Sll, false},
        {"linux cooked v2", TestLink::Sll2, false},
        {"loopback, little-endian", TestLink::NullLittle, false},
        {"loopback, network order", TestLink::LoopBig, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string packet = Ipv4Udp(PANEL, CENTRE, frame);
        const std::int64_t timeUs = 1'700'000'000'123'456;
        auto reader = CaptureReader::Open(
            Write(PcapFile(LinkTypeOf(c.link), {{timeUs, Framed(c.link, packet)}}, c.nanoseconds)));
        ASSERT_TRUE(reader) << reader.error();
        auto next = (*reader)->Next();
        ASSERT_TRUE(next && *next) << (next ? "end" : next.error());
        const CaptureDatagram& got = **next;
        EXPECT_EQ(got.number, 1U);
        EXPECT_EQ(got.timeNs, timeUs * 1000);
        EXPECT_EQ(got.source, PANEL);
        EXPECT_EQ(got.destination, CENTRE);
        EXPECT_TRUE(std::ranges::equal(got.payload, frame));
        auto end = (*reader)->Next();
        ASSERT_TRUE(end);
        EXPECT_FALSE(*end);
        EXPECT_EQ((*reader)->SkippedTotal(), 0U);
    }
}

TEST_F(CaptureReaderTest, CountsWhatItSkipsByReasonAndKeepsNumbering)
{
    const std::string udp = Ipv4Udp(PANEL, CENTRE, frame);
    const std::vector<std::uint8_t> empty;
    const std::vector<std::uint8_t> oversize(129, 0x0C);
    const std::vector<TestRecord> records{
        {1, Framed(TestLink::Ethernet, WithProtocol(udp, 6))},
        {2, Framed(TestLink::Ethernet, WithProtocol(udp, 1))},
        {3, Framed(TestLink::Ethernet, std::string(28, '\x01'), ETHERTYPE_ARP)},
        {4, Framed(TestLink::Ethernet, Ipv6Udp(), ETHERTYPE_IP6)},
        {5, Framed(TestLink::Ethernet, AsFragment(udp))},
        {6, Framed(TestLink::Ethernet, udp), 3},
        {7, Framed(TestLink::Ethernet, Ipv4Udp(PANEL, CENTRE, empty))},
        {8, Framed(TestLink::Ethernet, Ipv4Udp(PANEL, CENTRE, oversize))},
        {9, Framed(TestLink::Ethernet, udp)},
    };
    auto reader = CaptureReader::Open(Write(PcapFile(1, records)));
    ASSERT_TRUE(reader) << reader.error();
    auto next = (*reader)->Next();
    ASSERT_TRUE(next && *next);
    EXPECT_EQ((*next)->number, 9U);
    struct Count
    {
        SkipReason reason;
        std::uint64_t count;
    };
    for (const Count c : {Count{SkipReason::NotUdp, 2}, Count{SkipReason::NotIpv4, 1}, Count{SkipReason::Ipv6, 1},
                          Count{SkipReason::Fragment, 1}, Count{SkipReason::Truncated, 1},
                          Count{SkipReason::NotFrame, 2}})
        EXPECT_EQ(Skips(**reader, c.reason), c.count) << SkipKey(c.reason);
    EXPECT_EQ((*reader)->Records(), 9U);
}

TEST_F(CaptureReaderTest, AFilterSkipsBeforeAnythingElse)
{
    const Endpoint other{CENTRE.address, 9999};
    const std::vector<TestRecord> records{
        {1, Ipv4Udp(PANEL, other, frame)},
        {2, Ipv4Udp(PANEL, CENTRE, frame)},
    };
    auto reader = CaptureReader::Open(Write(PcapFile(101, records)), "udp port 7015");
    ASSERT_TRUE(reader) << reader.error();
    auto next = (*reader)->Next();
    ASSERT_TRUE(next && *next);
    EXPECT_EQ((*next)->number, 2U);
    EXPECT_EQ(Skips(**reader, SkipReason::Filtered), 1U);
}

TEST_F(CaptureReaderTest, BadInputIsAReasonNamingTheFile)
{
    const std::string good = PcapFile(101, {{1, Ipv4Udp(PANEL, CENTRE, frame)}});
    struct Case
    {
        const char* name;
        std::string path;
        std::string filter;
        const char* reason;
    };
    const Case cases[] = {
        {"missing", dir.filePath(QStringLiteral("none.pcap")).toStdString(), "", "No such file"},
        {"not a capture", Write("hello, this is no capture at all"), "", "cannot read"},
        {"cut header", Write(good.substr(0, 10)), "", "cannot read"},
        {"bad filter", Write(good), "udp port banana", "bad filter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto reader = CaptureReader::Open(c.path, c.filter);
        ASSERT_FALSE(reader);
        EXPECT_NE(reader.error().find(c.reason), std::string::npos) << reader.error();
        if (c.filter.empty()) {
            EXPECT_NE(reader.error().find(c.path), std::string::npos) << reader.error();
        }
    }
}

TEST_F(CaptureReaderTest, ACutRecordEndsTheFileWithItsReasonAfterWhatCameBefore)
{
    const std::string packet = Ipv4Udp(PANEL, CENTRE, frame);
    const std::string file = PcapFile(101, {{1, packet}, {2, packet}});
    auto reader = CaptureReader::Open(Write(file.substr(0, file.size() - 5)));
    ASSERT_TRUE(reader) << reader.error();
    auto first = (*reader)->Next();
    ASSERT_TRUE(first && *first);
    auto cut = (*reader)->Next();
    ASSERT_FALSE(cut);
    EXPECT_NE(cut.error().find("cut after record 1"), std::string::npos) << cut.error();
    EXPECT_FALSE((*reader)->Next());
}

} // namespace
