#include "protocol/acknowledgement.h"
#include "protocol/frame.h"
#include "tests/support/hex_text.h"
#include "ui/list_pairing.h"
#include "ui/frame_list_store.h"
#include "ui/frame_list_view.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

// A frame of `size` bytes whose length byte says so, its other bytes varying with the seed.
std::vector<std::uint8_t> Frame(std::size_t size, int seed)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((seed + static_cast<int>(i) * 37) & 0xFF);
    if (size > 0)
        bytes[0] = static_cast<std::uint8_t>(size);
    return bytes;
}

QString FrameLine(std::size_t size, int seed)
{
    return QString::fromLatin1(FormatDatagramHex(Frame(size, seed)));
}

TEST(FrameListStore, GivesBackEveryFrameWithItsContext)
{
    const struct
    {
        std::vector<std::uint8_t> bytes;
        QString line;
    } cases[] = {
        {{0x0C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x11, 0x00, 0x00, 0x21},
         u" 0C 00 01 00 00 00 02 01 11 00 00 21"_s},
        {{0x00, 0x05}, u"00 "_s},                                  // length byte 0
        {{0x0C, 0x01}, u" 0C 01 00 00 00 00 00 00 00 00 00 00"_s}, // shorter than it says
        {{0x02, 0x01, 0x02, 0x03}, u" 02 01"_s},                   // longer than it says
        {Frame(128, 3), FrameLine(128, 3)},
    };
    FrameListStore store;
    std::int64_t time = 1'700'000'000'000'000;
    for (const auto& c : cases) {
        store.Append({c.bytes, ++time, {LOOPBACK_ADDRESS, 8015}, 0});
        store.Append({c.bytes, ++time, {Ipv4(127, 0, 0, 2), 0}, 111});
    }
    ASSERT_EQ(store.Count(), 2 * std::size(cases));
    time = 1'700'000'000'000'000;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        for (std::size_t k = 0; k < 2; ++k) {
            const LoggedFrame frame = store.At(2 * i + k);
            EXPECT_EQ(std::vector<std::uint8_t>(frame.bytes.begin(), frame.bytes.end()), cases[i].bytes) << i;
            EXPECT_EQ(frame.timeUs, ++time);
            EXPECT_EQ(frame.peer, (k == 0 ? Endpoint{LOOPBACK_ADDRESS, 8015} : Endpoint{Ipv4(127, 0, 0, 2), 0}));
            EXPECT_EQ(frame.sendError, k == 0 ? 0 : 111);
            EXPECT_EQ(store.Text(2 * i + k), cases[i].line) << i;
        }
    }
    EXPECT_TRUE(store.Text(store.Count()).isEmpty());
    EXPECT_TRUE(store.At(store.Count()).bytes.empty());
}

TEST(FrameListStore, KeepsTwelveByteFramesInFewBytesAndClearReleasesThem)
{
    FrameListStore store;
    constexpr int LINES = 300'000;
    for (int i = 0; i < LINES; ++i)
        store.Append({Frame(12, i), i, {}, 0});
    EXPECT_LE(store.AllocatedBytes() / LINES, 48u);
    EXPECT_EQ(store.Text(LINES - 1), FrameLine(12, LINES - 1));
    store.Clear();
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_EQ(store.AllocatedBytes(), 0u);
}

// Serials survive a Clear, so that a link to a cleared line never reaches the line that took its row.
TEST(FrameListStore, LinksLinesBySerialAndCountsWhatItHolds)
{
    const std::vector<std::uint8_t> status = BytesOfLine(u"0C 00 01 00 00 00 02 01 11 00 00 21"_s);
    const std::vector<std::uint8_t> badSum = BytesOfLine(u"0C 00 01 00 00 00 02 01 11 00 00 FF"_s);
    const std::vector<std::uint8_t> ack = BytesOfLine(u"08 00 01 00 00 00 82 8B"_s);
    FrameListStore store;
    store.Append({status, 1, {}, 0});                 // serial 0: awaits its answer
    store.Append({status, 2, {}, 111}, std::nullopt); // 1: failed, awaits nothing
    store.Append({ack, 3, {}, 0}, LinePairing{40, 7}); // 2: an acknowledgement, paired at once
    store.Append({badSum, 4, {}, 0});                 // 3: findings
    EXPECT_EQ(store.Counts(), (FrameCounts{3, 1, 2, 1, 1}));
    store.SetPartner(0, 41);
    store.SetPartner(0, 42); // already paired: kept
    store.SetPartner(9, 43); // no such line
    EXPECT_EQ(store.Partner(0), 41u);
    EXPECT_EQ(store.Elapsed(0), 0);
    EXPECT_EQ(store.Elapsed(2), 7);
    EXPECT_EQ(Hex(store.At(2).bytes), "08 00 01 00 00 00 82 8B");
    EXPECT_EQ(store.Partner(2), 40u);
    EXPECT_EQ(store.Partner(3), std::nullopt);
    EXPECT_EQ(store.Counts().unanswered, 1u);

    store.Clear();
    EXPECT_EQ(store.Counts(), FrameCounts{});
    store.Append({status, 5, {}, 0});
    EXPECT_EQ(store.FirstSerial(), 4u);
    EXPECT_EQ(store.RowOf(0), std::nullopt); // cleared
    EXPECT_EQ(store.RowOf(4), 0u);
    EXPECT_EQ(store.RowOf(5), std::nullopt);
    store.SetPartner(0, 44);
    EXPECT_EQ(store.Partner(0), std::nullopt);
}

// One append after another on both lists, as the window makes them, a millisecond apart; P and Q are two
// peers.
TEST(ListPairing, PairsAnAcknowledgementWithTheOldestUnansweredFrameToItsPeerAndAFrameWithTheAnswerAfterIt)
{
    const std::vector<std::uint8_t> status = BytesOfLine(u"0C 00 01 00 00 00 02 01 11 00 00 21"_s);
    const std::vector<std::uint8_t> other = BytesOfLine(u"0C 00 02 00 00 00 02 01 11 00 00 22"_s);
    const std::vector<std::uint8_t> ack = BytesOfLine(u"08 00 01 00 00 00 82 8B"_s);
    const std::vector<std::uint8_t> spoilt = BytesOfLine(u"08 00 01 00 00 00 82 74"_s);
    const Endpoint p{LOOPBACK_ADDRESS, 8015}, q{LOOPBACK_ADDRESS, 8016};
    constexpr auto SENT = LogList::Sent, RECEIVED = LogList::Received;
    constexpr std::optional<std::uint64_t> NONE;
    const struct
    {
        LogList list;
        const std::vector<std::uint8_t>& bytes;
        Endpoint peer;
        int sendError;
        std::optional<std::uint64_t> partner;
        std::int64_t elapsedMs;
    } steps[] = {
        {SENT, status, p, 0, NONE, 0},      // sent 0, at 0 ms
        {SENT, status, p, 0, NONE, 0},      // sent 1: the same frame again
        {SENT, status, p, 111, NONE, 0},    // sent 2: never left
        {SENT, other, p, 0, NONE, 0},       // sent 3
        {RECEIVED, ack, q, 0, NONE, 0},     // received 0: from another peer
        {RECEIVED, spoilt, p, 0, NONE, 0},  // received 1: its checksum is wrong, not taken
        {RECEIVED, ack, p, 0, 0, 6},        // received 2, at 6 ms: the oldest of the two
        {RECEIVED, ack, p, 0, 1, 6},        // received 3: then the other
        {RECEIVED, ack, p, 0, NONE, 0},     // received 4: none left
        {RECEIVED, status, q, 0, NONE, 0},  // received 5: a frame, answered next
        {SENT, ack, q, 0, 5, 1},            // sent 4
        {RECEIVED, status, q, 0, NONE, 0},  // received 6
        {SENT, status, q, 0, NONE, 0},      // sent 5: not an acknowledgement
        {SENT, ack, q, 0, NONE, 0},         // sent 6: no longer right after it
    };
    ListPairing pairing;
    std::uint64_t serials[2] = {0, 0};
    MonoTime now{};
    for (const auto& step : steps) {
        std::uint64_t& serial = serials[static_cast<int>(step.list)];
        SCOPED_TRACE(testing::Message() << (step.list == SENT ? "sent " : "received ") << serial);
        const auto pairing_ = pairing.OnAppend(step.list, {step.bytes, 0, step.peer, step.sendError}, serial++, now);
        EXPECT_EQ(pairing_ ? std::optional(pairing_->partner) : NONE, step.partner);
        if (pairing_) {
            EXPECT_EQ(pairing_->elapsedUs, step.elapsedMs * 1000);
        }
        now += std::chrono::milliseconds(1);
    }

    // A cleared list is forgotten: nothing pairs with its lines any more.
    pairing.OnAppend(SENT, {status, 0, p, 0}, 7, now);
    pairing.OnClear(SENT);
    EXPECT_EQ(pairing.OnAppend(RECEIVED, {ack, 0, p, 0}, 6, now), std::nullopt);
    pairing.OnAppend(RECEIVED, {status, 0, p, 0}, 7, now);
    pairing.OnClear(RECEIVED);
    EXPECT_EQ(pairing.OnAppend(SENT, {ack, 0, p, 0}, 8, now), std::nullopt);
}

class FrameListViewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_view.resize(400, 10 * m_view.RowHeight() + 2 * m_view.frameWidth());
        m_view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_view));
    }

    void Append(std::size_t size, int seed) { m_view.AppendFrame({Frame(size, seed), 0, {}, 0}); }
    void Fill(int lines)
    {
        for (int i = 0; i < lines; ++i)
            Append(4, i);
        ASSERT_TRUE(QTest::qWaitFor([this] { return !m_view.RefreshPending(); }, 2000));
    }

    void ClickRow(int row, Qt::KeyboardModifiers modifiers = {})
    {
        const int visible = row - static_cast<int>(m_view.FirstVisibleRow());
        QTest::mouseClick(m_view.viewport(), Qt::LeftButton, modifiers,
                          {20, visible * m_view.RowHeight() + m_view.RowHeight() / 2});
    }

    std::pair<int, int> Selection() const
    {
        return {static_cast<int>(m_view.SelectionFirst()), static_cast<int>(m_view.SelectionLast())};
    }
    QScrollBar* Bar() const { return m_view.verticalScrollBar(); }

    FrameListView m_view;
};

TEST_F(FrameListViewTest, AppendsNeitherScrollNorSelectAndReachTheScrollRangeAtTheNextRefreshClearAtOnce)
{
    Fill(5);
    for (int i = 0; i < 100'000; ++i)
        Append(12, i);
    EXPECT_TRUE(m_view.RefreshPending());
    EXPECT_EQ(Bar()->maximum(), 0); // appending is bookkeeping only
    ASSERT_TRUE(QTest::qWaitFor([this] { return !m_view.RefreshPending(); }, 2000));
    EXPECT_EQ(m_view.count(), 100'005u);
    EXPECT_EQ(Bar()->maximum(), 100'005 - Bar()->pageStep());
    EXPECT_EQ(Bar()->value(), 0);
    EXPECT_FALSE(m_view.HasSelection());

    ClickRow(1);
    ASSERT_TRUE(m_view.HasSelection());
    Append(2, 0);
    m_view.Clear();
    EXPECT_EQ(m_view.count(), 0u);
    EXPECT_FALSE(m_view.HasSelection());
    EXPECT_FALSE(m_view.RefreshPending());
    EXPECT_EQ(Bar()->maximum(), 0);
}

TEST_F(FrameListViewTest, ClickSelectsShiftClickAndKeysExtendAndCopyTakesTheSelectedLines)
{
    Fill(6);
    ClickRow(8); // below the last line
    EXPECT_FALSE(m_view.HasSelection());
    ClickRow(2);
    EXPECT_EQ(Selection(), std::pair(2, 2));
    ClickRow(5, Qt::ShiftModifier);
    EXPECT_EQ(Selection(), std::pair(2, 5));
    ClickRow(0, Qt::ShiftModifier);
    EXPECT_EQ(Selection(), std::pair(0, 2));
    QTest::keyClick(&m_view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              FrameLine(4, 0) + u'\n' + FrameLine(4, 1) + u'\n' + FrameLine(4, 2));

    Fill(94);
    QTest::keyClick(&m_view, Qt::Key_End);
    EXPECT_EQ(Selection(), std::pair(99, 99));
    EXPECT_EQ(Bar()->value(), Bar()->maximum());
    QTest::keyClick(&m_view, Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(Selection(), std::pair(98, 99));
    QTest::keyClick(&m_view, Qt::Key_Home);
    EXPECT_EQ(Bar()->value(), 0);
    QTest::keyClick(&m_view, Qt::Key_PageDown);
    EXPECT_EQ(Selection().first, Bar()->pageStep());
}

// Lines arriving faster than the refresh period must not keep postponing the refresh.
TEST_F(FrameListViewTest, AListFedFasterThanItsRefreshPeriodStillFollows)
{
    QTimer feeder;
    int fed = 0;
    QObject::connect(&feeder, &QTimer::timeout, &feeder, [&] { Append(12, ++fed); });
    feeder.start(2);
    EXPECT_TRUE(QTest::qWaitFor([this] { return Bar()->maximum() > 0; }, 1000));
    feeder.stop();
}

} // namespace
