#include "protocol/acknowledgement.h"
#include "protocol/frame.h"
#include "tests/support/hex_text.h"
#include "ui/ack_pairing.h"
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
        store.Append({c.bytes, ++time, {0x0100007F, 0x1F4F}, 0});
        store.Append({c.bytes, ++time, {0x0200007F, 0x0000}, 111});
    }
    ASSERT_EQ(store.Count(), 2 * std::size(cases));
    time = 1'700'000'000'000'000;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        for (std::size_t k = 0; k < 2; ++k) {
            const LoggedFrame frame = store.At(2 * i + k);
            EXPECT_EQ(std::vector<std::uint8_t>(frame.bytes.begin(), frame.bytes.end()), cases[i].bytes) << i;
            EXPECT_EQ(frame.timeUs, ++time);
            EXPECT_EQ(frame.peer, (k == 0 ? Destination{0x0100007F, 0x1F4F} : Destination{0x0200007F, 0}));
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
    store.Append({ack, 3, {}, 0}, 40);                // 2: an acknowledgement, paired at once
    store.Append({badSum, 4, {}, 0});                 // 3: findings
    EXPECT_EQ(store.Counts(), (FrameCounts{3, 1, 2, 1, 1}));
    store.SetPartner(0, 41);
    store.SetPartner(0, 42); // already paired: kept
    store.SetPartner(9, 43); // no such line
    EXPECT_EQ(store.Partner(0), 41u);
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

// One append after another on both lists, as the window makes them; P and Q are two peers.
TEST(AckPairing, PairsAnAcknowledgementWithTheLatestUnansweredFrameToItsPeerAndAFrameWithTheAnswerAfterIt)
{
    const std::vector<std::uint8_t> status = BytesOfLine(u"0C 00 01 00 00 00 02 01 11 00 00 21"_s);
    const std::vector<std::uint8_t> other = BytesOfLine(u"0C 00 02 00 00 00 02 01 11 00 00 22"_s);
    const std::vector<std::uint8_t> ack = BytesOfLine(u"08 00 01 00 00 00 82 8B"_s);
    const Destination p{0x0100007F, 0x1F4F}, q{0x0100007F, 0x1F50};
    constexpr auto SENT = LogList::Sent, RECEIVED = LogList::Received;
    constexpr std::optional<std::uint64_t> NONE;
    const struct
    {
        LogList list;
        const std::vector<std::uint8_t>& bytes;
        Destination peer;
        int sendError;
        std::optional<std::uint64_t> partner;
    } steps[] = {
        {SENT, status, p, 0, NONE},     // sent 0
        {SENT, status, p, 0, NONE},     // sent 1: the same frame again
        {SENT, status, p, 111, NONE},   // sent 2: never left
        {SENT, other, p, 0, NONE},      // sent 3
        {RECEIVED, ack, q, 0, NONE},    // received 0: from another peer
        {RECEIVED, ack, p, 0, 1},        // received 1: the latest of the two
        {RECEIVED, ack, p, 0, 0},        // received 2: then the older one
        {RECEIVED, ack, p, 0, NONE},    // received 3: none left
        {RECEIVED, status, q, 0, NONE}, // received 4: a frame, answered next
        {SENT, ack, q, 0, 4},            // sent 4
        {RECEIVED, status, q, 0, NONE}, // received 5
        {SENT, status, q, 0, NONE},     // sent 5: not an acknowledgement
        {SENT, ack, q, 0, NONE},        // sent 6: no longer right after it
    };
    AckPairing pairing;
    std::uint64_t serials[2] = {0, 0};
    for (const auto& step : steps) {
        std::uint64_t& serial = serials[static_cast<int>(step.list)];
        SCOPED_TRACE(testing::Message() << (step.list == SENT ? "sent " : "received ") << serial);
        EXPECT_EQ(pairing.OnAppend(step.list, {step.bytes, 0, step.peer, step.sendError}, serial++),
                  step.partner);
    }

    // A cleared list is forgotten: nothing pairs with its lines any more.
    pairing.OnAppend(SENT, {status, 0, p, 0}, 7);
    pairing.OnClear(SENT);
    EXPECT_EQ(pairing.OnAppend(RECEIVED, {ack, 0, p, 0}, 6), NONE);
    pairing.OnAppend(RECEIVED, {status, 0, p, 0}, 7);
    pairing.OnClear(RECEIVED);
    EXPECT_EQ(pairing.OnAppend(SENT, {ack, 0, p, 0}, 8), NONE);
}

TEST(AckPairing, ForgetsTheOldestUnansweredFramesBeyondItsCapacity)
{
    constexpr std::uint64_t FRAMES = AckPairing::WAITING_CAPACITY + 100;
    AckPairing pairing;
    std::vector<std::uint8_t> frame = BytesOfLine(u"08 00 00 00 00 00 01 00"_s);
    const auto keyed = [&frame](std::uint64_t i) {
        frame[1] = static_cast<std::uint8_t>(i);
        frame[2] = static_cast<std::uint8_t>(i >> 8);
        return LoggedFrame{frame, 0, {0x0100007F, 0x1F4F}, 0};
    };
    for (std::uint64_t i = 0; i < FRAMES; ++i)
        pairing.OnAppend(LogList::Sent, keyed(i), i);
    const auto answer = [&](std::uint64_t i) {
        const auto ack = std::get<AckFrame>(AcknowledgementFor(keyed(i).bytes));
        return pairing.OnAppend(LogList::Received, {ack, 0, {0x0100007F, 0x1F4F}, 0}, 0);
    };
    EXPECT_EQ(answer(FRAMES - 1), FRAMES - 1);
    EXPECT_EQ(answer(FRAMES - AckPairing::WAITING_CAPACITY), FRAMES - AckPairing::WAITING_CAPACITY);
    EXPECT_EQ(answer(FRAMES - AckPairing::WAITING_CAPACITY - 1), std::nullopt);
    EXPECT_EQ(answer(0), std::nullopt);
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
