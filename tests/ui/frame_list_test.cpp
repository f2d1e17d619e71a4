#include "ui/frame_list_store.h"
#include "ui/frame_list_view.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

namespace {

std::string FrameLine(int groups, int seed)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line;
    for (int i = 0; i < groups; ++i) {
        const int byte = (seed + i * 37) & 0xFF;
        line += ' ';
        line += kHex[byte >> 4];
        line += kHex[byte & 15];
    }
    return line;
}

struct RoundTripCase
{
    const char* what;
    std::string line;
};

void PrintTo(const RoundTripCase& c, std::ostream* os)
{
    *os << c.what;
}

class StoreRoundTrip : public ::testing::TestWithParam<RoundTripCase>
{
};

TEST_P(StoreRoundTrip, GivesBackTheLineExactly)
{
    FrameListStore store;
    store.Append(" 01");
    store.Append(GetParam().line);
    store.Append(" FF");
    ASSERT_EQ(store.Count(), 3u);
    EXPECT_EQ(store.Text(1), QString::fromStdString(GetParam().line));
    EXPECT_EQ(store.Text(0), QStringLiteral(" 01"));
    EXPECT_EQ(store.Text(2), QStringLiteral(" FF"));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StoreRoundTrip,
    ::testing::Values(RoundTripCase{"status frame", " 0C 00 01 00 00 00 02 01 11 00 00 21"},
                      RoundTripCase{"zero length byte", "00 "}, RoundTripCase{"empty", ""},
                      RoundTripCase{"lower-case digits", " 0c 00 01"}, RoundTripCase{"half group", " 0C 0"},
                      RoundTripCase{"double space", " 0C  00"}, RoundTripCase{"no leading space", "0C 00 01"},
                      RoundTripCase{"trailing space", " 0C 00 "},
                      RoundTripCase{"chinese text", "设备在线命令"},
                      RoundTripCase{"255 groups", FrameLine(255, 3)},
                      RoundTripCase{"256 groups", FrameLine(256, 5)},
                      RoundTripCase{"embedded nul", std::string(" 0C\0 00", 7)}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST(FrameListStore, KeepsOrderAcrossChunksAndHugeLines)
{
    FrameListStore store;
    const std::string huge(3 << 20, 'x'); // larger than a chunk
    constexpr int kLines = 200'000;
    for (int i = 0; i < kLines; ++i) {
        store.Append(FrameLine(12, i));
        if (i == kLines / 2)
            store.Append(huge);
    }
    ASSERT_EQ(store.Count(), static_cast<std::size_t>(kLines) + 1);
    for (const int i : {0, 1, kLines / 2, kLines - 1})
        EXPECT_EQ(store.Text(static_cast<std::size_t>(i) + (i > kLines / 2 ? 1 : 0)),
                  QString::fromStdString(FrameLine(12, i)));
    EXPECT_EQ(store.Text(kLines / 2 + 1).size(), static_cast<qsizetype>(huge.size()));
    EXPECT_TRUE(store.Text(store.Count()).isEmpty());
}

TEST(FrameListStore, TwelveByteFramesCostFewBytesPerLine)
{
    FrameListStore store;
    constexpr std::size_t kLines = 300'000;
    for (std::size_t i = 0; i < kLines; ++i)
        store.Append(FrameLine(12, static_cast<int>(i)));
    EXPECT_LE(store.AllocatedBytes() / kLines, 48u);
}

TEST(FrameListStore, ClearReleasesEverythingAndTheStoreIsReusable)
{
    FrameListStore store;
    for (int i = 0; i < 50'000; ++i)
        store.Append(FrameLine(8, i));
    store.Clear();
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_EQ(store.AllocatedBytes(), 0u);
    EXPECT_TRUE(store.Text(0).isEmpty());
    store.Append("00 ");
    EXPECT_EQ(store.Text(0), QStringLiteral("00 "));
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

    void Fill(int lines)
    {
        for (int i = 0; i < lines; ++i)
            m_view.AppendLine(FrameLine(4, i));
        ASSERT_TRUE(QTest::qWaitFor([this] { return !m_view.RefreshPending(); }, 2000));
    }

    QPoint RowCentre(std::size_t row) const
    {
        const int visible = static_cast<int>(row - m_view.FirstVisibleRow());
        return {20, visible * m_view.RowHeight() + m_view.RowHeight() / 2};
    }

    QScrollBar* Bar() const { return m_view.verticalScrollBar(); }

    FrameListView m_view;
};

TEST_F(FrameListViewTest, AppendsNeitherScrollNorSelectAndReachTheScrollRangeOnce)
{
    Fill(5);
    Bar()->setValue(0);
    for (int i = 0; i < 100'000; ++i)
        m_view.AppendLine(FrameLine(12, i));
    // Appending is only bookkeeping until the coalesced refresh.
    EXPECT_TRUE(m_view.RefreshPending());
    EXPECT_EQ(Bar()->maximum(), 0);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !m_view.RefreshPending(); }, 2000));
    EXPECT_EQ(m_view.count(), 100'005u);
    EXPECT_EQ(Bar()->maximum(), 100'005 - Bar()->pageStep());
    EXPECT_EQ(Bar()->value(), 0);
    EXPECT_FALSE(m_view.HasSelection());
    EXPECT_EQ(m_view.text(100'004), QString::fromStdString(FrameLine(12, 99'999)));
}

TEST_F(FrameListViewTest, ClickSelectsShiftClickExtendsAndCopyPutsTheLinesOnTheClipboard)
{
    Fill(30);
    QTest::mouseClick(m_view.viewport(), Qt::LeftButton, {}, RowCentre(2));
    EXPECT_EQ(m_view.SelectionFirst(), 2u);
    EXPECT_EQ(m_view.SelectionLast(), 2u);
    QTest::mouseClick(m_view.viewport(), Qt::LeftButton, Qt::ShiftModifier, RowCentre(5));
    EXPECT_EQ(m_view.SelectionFirst(), 2u);
    EXPECT_EQ(m_view.SelectionLast(), 5u);
    QTest::mouseClick(m_view.viewport(), Qt::LeftButton, Qt::ShiftModifier, RowCentre(0));
    EXPECT_EQ(m_view.SelectionFirst(), 0u);
    EXPECT_EQ(m_view.SelectionLast(), 2u);

    QApplication::clipboard()->clear();
    QTest::keyClick(&m_view, Qt::Key_C, Qt::ControlModifier);
    const QString expected =
        QString::fromStdString(FrameLine(4, 0) + '\n' + FrameLine(4, 1) + '\n' + FrameLine(4, 2));
    EXPECT_EQ(QApplication::clipboard()->text(), expected);
}

TEST_F(FrameListViewTest, ClickBelowTheLastLineSelectsNothing)
{
    Fill(3);
    QTest::mouseClick(m_view.viewport(), Qt::LeftButton, {}, RowCentre(6));
    EXPECT_FALSE(m_view.HasSelection());
    QApplication::clipboard()->setText(QStringLiteral("unchanged"));
    QTest::keyClick(&m_view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("unchanged"));
}

TEST_F(FrameListViewTest, KeysMoveTheSelectionAndKeepItInView)
{
    Fill(100);
    m_view.setFocus();
    QTest::keyClick(&m_view, Qt::Key_End);
    EXPECT_EQ(m_view.SelectionFirst(), 99u);
    EXPECT_EQ(Bar()->value(), Bar()->maximum());
    QTest::keyClick(&m_view, Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(m_view.SelectionFirst(), 98u);
    EXPECT_EQ(m_view.SelectionLast(), 99u);
    QTest::keyClick(&m_view, Qt::Key_Home);
    EXPECT_EQ(m_view.SelectionFirst(), 0u);
    EXPECT_EQ(m_view.SelectionLast(), 0u);
    EXPECT_EQ(Bar()->value(), 0);
    QTest::keyClick(&m_view, Qt::Key_PageDown);
    EXPECT_EQ(m_view.SelectionFirst(), static_cast<std::size_t>(Bar()->pageStep()));
}

TEST_F(FrameListViewTest, EnterAndEscapeAreLeftToTheWindow)
{
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&m_view, &press);
        EXPECT_FALSE(press.isAccepted()) << key;
    }
}

TEST_F(FrameListViewTest, WheelScrollsTheRows)
{
    Fill(200);
    QWheelEvent wheel(QPointF(20, 20), m_view.viewport()->mapToGlobal(QPointF(20, 20)), {}, QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(m_view.viewport(), &wheel);
    EXPECT_GT(m_view.FirstVisibleRow(), 0u);
}

TEST_F(FrameListViewTest, ClearEmptiesAtOnceAndDropsTheSelection)
{
    Fill(50);
    QTest::mouseClick(m_view.viewport(), Qt::LeftButton, {}, RowCentre(1));
    m_view.AppendLine(" 01 02");
    m_view.Clear();
    EXPECT_EQ(m_view.count(), 0u);
    EXPECT_FALSE(m_view.HasSelection());
    EXPECT_FALSE(m_view.RefreshPending());
    EXPECT_EQ(Bar()->maximum(), 0);
    m_view.AppendLine(" 0A");
    EXPECT_EQ(m_view.text(0), QStringLiteral(" 0A"));
}

} // namespace
