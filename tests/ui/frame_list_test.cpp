#include "ui/frame_list_store.h"
#include "ui/frame_list_view.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string FrameLine(int groups, int seed)
{
    QByteArray bytes;
    for (int i = 0; i < groups; ++i)
        bytes += static_cast<char>((seed + i * 37) & 0xFF);
    return ' ' + bytes.toHex(' ').toUpper().toStdString();
}

TEST(FrameListStore, GivesBackEveryLineExactlyWhateverItsForm)
{
    const std::string lines[] = {
        " 0C 00 01 00 00 00 02 01 11 00 00 21", // frame line
        "00 ",                                  // frame whose length byte is 0
        "",                                     // empty
        " 0c 00 01",                            // lower-case digits
        " 0C 0",                                // half a group
        " 0C  00",                              // double blank
        "0C 00 01",                             // no leading blank
        " 0C 00 ",                              // trailing blank
        "设备在线命令",                         // not hex at all
        FrameLine(255, 3),                      // longest frame line
        FrameLine(256, 5),                      // one group too many: kept as text
        std::string(" 0C\0 00", 7),             // embedded nul
        std::string(3 << 20, 'x'),              // longer than an arena chunk
    };
    FrameListStore store;
    for (const std::string& line : lines) {
        store.Append(line);
        store.Append(" 01");
    }
    ASSERT_EQ(store.Count(), 2 * std::size(lines));
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        EXPECT_EQ(store.Text(2 * i), QString::fromStdString(lines[i])) << i;
        EXPECT_EQ(store.Text(2 * i + 1), QStringLiteral(" 01")) << i;
    }
    EXPECT_TRUE(store.Text(store.Count()).isEmpty());
}

TEST(FrameListStore, KeepsTwelveByteFramesInFewBytesAndClearReleasesThem)
{
    FrameListStore store;
    constexpr int kLines = 300'000;
    for (int i = 0; i < kLines; ++i)
        store.Append(FrameLine(12, i));
    EXPECT_LE(store.AllocatedBytes() / kLines, 48u);
    EXPECT_EQ(store.Text(kLines - 1), QString::fromStdString(FrameLine(12, kLines - 1)));
    store.Clear();
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_EQ(store.AllocatedBytes(), 0u);
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
        m_view.AppendLine(FrameLine(12, i));
    EXPECT_TRUE(m_view.RefreshPending());
    EXPECT_EQ(Bar()->maximum(), 0); // appending is bookkeeping only
    ASSERT_TRUE(QTest::qWaitFor([this] { return !m_view.RefreshPending(); }, 2000));
    EXPECT_EQ(m_view.count(), 100'005u);
    EXPECT_EQ(Bar()->maximum(), 100'005 - Bar()->pageStep());
    EXPECT_EQ(Bar()->value(), 0);
    EXPECT_FALSE(m_view.HasSelection());

    ClickRow(1);
    ASSERT_TRUE(m_view.HasSelection());
    m_view.AppendLine(" 01 02");
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
              QString::fromStdString(FrameLine(4, 0) + '\n' + FrameLine(4, 1) + '\n' + FrameLine(4, 2)));

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

} // namespace
