#include "engine/control_ids.h"
#include "engine/messages.h"
#include "tests/engine/engine_harness.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

struct SequenceStep
{
    int row;
    int zone;
    const char* frame;
    const char* statusAfter;
};

// Events accumulate on one pair; the 8- and 9-byte frames leave the stored status alone.
TEST(EventSender, WorkedSequenceAccumulatesStatusOnOnePair)
{
    const SequenceStep steps[] = {
        {3, 1, "0C 00 01 00 00 00 02 01 11 00 00 21", "01 11 00 00"},
        {6, 1, "0C 00 01 00 00 00 02 01 11 FF 00 20", "01 11 FF 00"},
        {7, 1, "09 00 01 00 00 00 03 01 0E", "01 11 FF 00"},
        {5, 1, "0C 00 01 00 00 00 02 01 10 00 00 20", "01 10 00 00"},
        {2, 8, "0C 00 01 00 00 00 02 01 10 80 00 A0", "01 10 80 00"},
        {22, 8, "0C 00 01 00 00 00 02 01 10 00 00 20", "01 10 00 00"},
        {0, 1, "08 00 01 00 00 00 01 0A", "01 10 00 00"},
        {8, 1, "08 00 01 00 00 00 04 0D", "01 10 00 00"},
        {9, 1, "0C 00 01 00 00 00 02 01 12 00 00 22", "01 12 00 00"},
    };
    EngineHarness h;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const SequenceStep& step = steps[i];
        SCOPED_TRACE(testing::Message() << "step " << i << ", row " << step.row);
        h.console.selection = step.row;
        h.console.form.zoneNo = step.zone;
        h.engine.OnSendEvent();
        const auto datagram = h.peer.Receive();
        ASSERT_TRUE(datagram);
        EXPECT_EQ(datagram->bytes, Bytes(step.frame));
        EXPECT_EQ(datagram->fromPort, h.Port());
        EXPECT_EQ(h.console.Lines(IDC_SENT_LIST).back(), Line(step.frame));
        const CDeviceEntry* entry = h.engine.m_registry.FindDevice(0, 1);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->m_status, Status(step.statusAfter));
    }
    EXPECT_EQ(h.console.Lines(IDC_SENT_LIST).size(), std::size(steps));
    EXPECT_TRUE(h.console.messages.isEmpty());
}

struct RowCase
{
    int row;
    int zone; // 0 for rows that need none: the zone must not matter to them
    const char* before;
    const char* frame;
    const char* statusAfter;
};

// Set rows start from the defaults, clear rows from all ones, so every mask shows.
TEST(EventSender, EachRowChangesItsBitsOnly)
{
    const RowCase cases[] = {
        {0, 0, "FF FF FF FF", "08 00 01 00 00 00 01 0A", "FF FF FF FF"},
        {1, 3, "FF FF FF FF", "0C 00 01 00 00 00 02 FF FF FB FF 07", "FF FF FB FF"},
        {2, 3, "00 11 00 00", "0C 00 01 00 00 00 02 00 11 04 00 24", "00 11 04 00"},
        {3, 3, "00 11 00 00", "0C 00 01 00 00 00 02 04 11 00 00 24", "04 11 00 00"},
        {4, 3, "FF FF FF FF", "0C 00 01 00 00 00 02 FB FF FF FF 07", "FB FF FF FF"},
        {5, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF FE 00 FF 0B", "FF FE 00 FF"},
        {6, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 11 FF 00 1F", "00 11 FF 00"},
        {7, 0, "FF FF FF FF", "09 00 01 00 00 00 03 FF 0C", "FF FF FF FF"},
        {8, 0, "FF FF FF FF", "08 00 01 00 00 00 04 0D", "FF FF FF FF"},
        {9, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 13 00 00 22", "00 13 00 00"},
        {10, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF FD FF FF 09", "FF FD FF FF"},
        {11, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 15 00 00 24", "00 15 00 00"},
        {12, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF FB FF FF 07", "FF FB FF FF"},
        {13, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 51 00 00 60", "00 51 00 00"},
        {14, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF BF FF FF CB", "FF BF FF FF"},
        {15, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 19 00 00 28", "00 19 00 00"},
        {16, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF F7 FF FF 03", "FF F7 FF FF"},
        {17, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF EF FF FF FB", "FF EF FF FF"},
        {18, 0, "00 00 00 00", "0C 00 01 00 00 00 02 00 10 00 00 1F", "00 10 00 00"},
        {19, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 31 00 00 40", "00 31 00 00"},
        {20, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF DF FF FF EB", "FF DF FF FF"},
        {21, 3, "00 11 00 00", "0C 00 01 00 00 00 02 00 11 04 00 24", "00 11 04 00"},
        {22, 3, "FF FF FF FF", "0C 00 01 00 00 00 02 FF FF FB FF 07", "FF FF FB FF"},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << c.row);
        EngineHarness h;
        h.engine.m_registry.CreateDevice(0, 1)->m_status = Status(c.before);
        h.console.selection = c.row;
        h.console.form.zoneNo = c.zone;
        h.engine.OnSendEvent();
        const auto datagram = h.peer.Receive();
        ASSERT_TRUE(datagram);
        EXPECT_EQ(datagram->bytes, Bytes(c.frame));
        EXPECT_EQ(h.console.Lines(IDC_SENT_LIST), std::vector<std::string>{Line(c.frame)});
        EXPECT_EQ(h.engine.m_registry.FindDevice(0, 1)->m_status, Status(c.statusAfter));
    }
}

struct RefusalCase
{
    const char* name;
    bool open;
    std::optional<int> selection;
    FakeConsole::Form form;
    const char* destination;
    QString message;   // empty: none expected
    bool entryCreated; // for (commNo, deviceNo) of the form
};

// Nothing leaves in any of these; what differs is the message and whether the pair was registered.
TEST(EventSender, RefusedSendsLeaveTheRegistryAsDescribed)
{
    const QString range = DeviceAddressRangeMessage();
    const QString dest = DestinationInvalidMessage();
    const char* const loop = "127.0.0.1";
    // clang-format off
    const RefusalCase cases[] = {
        {"endpoint closed",       false, 3,            {},                        loop,      {},    false},
        {"no selection",          true,  std::nullopt, {},                        loop,      {},    true},
        {"selection 23",          true,  23,           {},                        loop,      {},    true},
        {"zone event, zone 0",    true,  3,            {0, 1, 0},                 loop,      {},    true},
        {"trigger, zone 0",       true,  21,           {0, 1, 0},                 loop,      {},    true},
        {"communicator 240",      true,  3,            {240, 1, 1},               loop,      range, false},
        {"device 240",            true,  3,            {0, 240, 1},               loop,      range, false},
        {"zone 9",                true,  3,            {0, 1, 9},                 loop,      range, false},
        {"negative device",       true,  3,            {0, -1, 1},                loop,      range, false},
        {"exchange stops at 240", true,  3,            {240, 1, 1, {}, 1, false}, loop,      range, false},
        {"address 1.2.3.4",       true,  3,            {},                        "1.2.3.4", dest,  false},
        // The form no longer shows the numbers an earlier exchange left: nothing goes out for them.
        {"exchange fails early",  true,  0,            {0, 0, 0, {}, 0, false},   loop,      {},    false},
    };
    // clang-format on
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        if (!c.open)
            h.engine.OnStop();
        h.console.selection = c.selection;
        h.console.form = c.form;
        h.console.texts[IDC_DEST_IP] = QString::fromLatin1(c.destination);
        h.engine.OnSendEvent();
        EXPECT_EQ(h.console.messages, c.message.isEmpty() ? QStringList{} : QStringList{c.message});
        EXPECT_TRUE(h.console.Lines(IDC_SENT_LIST).empty());
        const auto commNo = static_cast<std::uint8_t>(c.form.commNo);
        const auto deviceNo = static_cast<std::uint8_t>(c.form.deviceNo);
        EXPECT_EQ(h.engine.m_registry.FindDevice(commNo, deviceNo) != nullptr, c.entryCreated);
        if (c.entryCreated) {
            EXPECT_EQ(h.engine.m_registry.FindDevice(commNo, deviceNo)->m_status, DEFAULT_STATUS);
        }
        if (!c.open)
            continue;
        h.console.texts[IDC_DEST_IP] = u"127.0.0.1"_s;
        EXPECT_TRUE(h.NothingSentBefore());
    }
}

TEST(EventSender, HighestAddressesAreAccepted)
{
    EngineHarness h;
    h.console.selection = 0;
    h.console.form = {239, 239, 8};
    h.engine.OnSendEvent();
    const auto datagram = h.peer.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->bytes, Bytes("08 EF EF 00 00 00 01 E7"));
    EXPECT_TRUE(h.console.messages.isEmpty());
}

} // namespace
