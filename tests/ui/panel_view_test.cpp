#include "book/panel_book.h"
#include "tests/support/loopback_peer.h"
#include "tests/ui/ui_harness.h"
#include "ui/frame_list_view.h"
#include "ui/host_center_dlg.h"
#include "ui/panel_table_model.h"
#include "ui/panel_view.h"
#include "ui/registry_model.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int WAIT_MS = 4000;
const QString MENU_ENTRY = u"面板状态(&B)..."_s;

int RowOf(const QTableView& table, const QString& comm, const QString& dev)
{
    for (int row = 0; row < table.model()->rowCount(); ++row)
        if (RowTexts(*table.model(), row).mid(0, 2) == QStringList{comm, dev})
            return row;
    return -1;
}

// How many pixels of the row, as drawn, have the colour.
int PixelsOf(QTableView& table, int row, QRgb colour)
{
    const QImage image = table.viewport()->grab().toImage();
    const QRect rect =
        table.visualRect(table.model()->index(row, 0))
            .united(table.visualRect(table.model()->index(row, table.model()->columnCount() - 1)));
    int count = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = std::max(0, rect.left()); x <= std::min(image.width() - 1, rect.right()); ++x)
            count += image.pixel(x, y) == colour ? 1 : 0;
    return count;
}

// A console on loopback, started on a free port, and a panel that sends to it.
class PanelViewTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_console = StartConsole(m_sink.Port());
        ASSERT_TRUE(m_console);
        m_port = m_console->Engine().ListeningPort();
    }

    // Sends the frame and waits for the centre's acknowledgement: the frame is in the book then.
    void Send(std::span<const std::uint8_t> frame)
    {
        ASSERT_TRUE(m_panel.SendTo(m_port, frame));
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_panel.TryReceive().has_value(); }, WAIT_MS));
        ++m_sent;
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_console->Engine().Book().Totals().datagrams == m_sent; },
                                    WAIT_MS));
    }

    PanelView* OpenFromWindowMenu()
    {
        for (QAction* action : m_console->SystemMenu()->actions())
            if (action->text() == MENU_ENTRY)
                action->trigger();
        PanelView* view = m_console->PanelViewWindow();
        return view != nullptr && QTest::qWaitForWindowExposed(view) ? view : nullptr;
    }

    QTableView* Table(const char* name) const
    {
        return Find<QTableView>(*m_console->PanelViewWindow(), name);
    }

    // Waits until the table shows that many rows.
    bool WaitForRows(const char* table, int rows) const
    {
        return QTest::qWaitFor([&] { return Table(table)->model()->rowCount() == rows; }, WAIT_MS);
    }

    LoopbackPeer m_sink; // where the console's own events go
    LoopbackPeer m_panel;
    std::unique_ptr<CHostCenterDlg> m_console;
    std::uint16_t m_port{0};
    std::uint64_t m_sent{0};
};

// The menu a frame list opens from the keyboard; the caller closes it.
QMenu* MenuOf(FrameListView& list)
{
    QContextMenuEvent click(QContextMenuEvent::Keyboard, {10, 10}, list.mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(&list, &click);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

bool HasEntry(const QMenu& menu)
{
    return std::ranges::any_of(menu.actions(),
                               [](const QAction* action) { return action->text() == MENU_ENTRY; });
}

TEST_F(PanelViewTest, OpensFromBothMenusBesideTheConsoleAndCostsNothingClosed)
{
    PanelView* view = OpenFromWindowMenu();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->windowTitle(), u"面板状态"_s);
    EXPECT_FALSE(view->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(view->Refreshing());

    // The console goes on answering while the view is open.
    Send(StatusFrame(0, 1, DEFAULT_STATUS));
    EXPECT_TRUE(WaitForRows("panelTable", 1));

    // Closed: no timer, no rows; the book is still fed.
    view->close();
    EXPECT_FALSE(view->Refreshing());
    EXPECT_EQ(Table("panelTable")->model()->rowCount(), 0);
    EXPECT_EQ(Table("eventLog")->model()->rowCount(), 0);
    Send(StatusFrame(0, 2, DEFAULT_STATUS));
    EXPECT_EQ(m_console->Engine().Book().size(), 2u);

    // From the received list's menu, the same window again, with everything heard meanwhile; the sent
    // list's menu has no such entry.
    QMenu* menu = MenuOf(*Find<FrameListView>(*m_console, "IDC_RECV_LIST"));
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> actions = menu->actions();
    const auto entry = std::ranges::find(actions, MENU_ENTRY, &QAction::text);
    ASSERT_NE(entry, actions.end());
    (*entry)->trigger();
    menu->close();
    EXPECT_EQ(m_console->PanelViewWindow(), view);
    EXPECT_TRUE(view->isVisible());
    EXPECT_TRUE(view->Refreshing());
    EXPECT_EQ(Table("panelTable")->model()->rowCount(), 2);
    menu = MenuOf(*Find<FrameListView>(*m_console, "IDC_SENT_LIST"));
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(HasEntry(*menu));
    menu->close();
}

// The rows' own texts and colours are the models' business; here, what the network and the widgets add.
TEST_F(PanelViewTest, APanelHeardIsDrawnInAlarmWithItsPortAndTheFilterFieldNarrowsTheRows)
{
    ASSERT_NE(OpenFromWindowMenu(), nullptr);
    Send(StatusFrame(3, 7, {0x04, 0x11, 0x00, 0x00})); // zone 3 alarm
    Send(StatusFrame(0, 1, DEFAULT_STATUS));
    Send(StatusFrame(0, 1, {0x00, 0x15, 0x80, 0x00})); // tamper, zone 8 disarmed
    ASSERT_TRUE(WaitForRows("panelTable", 2));
    ASSERT_TRUE(WaitForRows("eventLog", 3));
    QTableView& table = *Table("panelTable");
    const int alarm = RowOf(table, u"3"_s, u"7"_s);
    const int quiet = RowOf(table, u"0"_s, u"1"_s);
    ASSERT_GE(alarm, 0);
    ASSERT_GE(quiet, 0);
    const QString peer = u"127.0.0.1:%1"_s.arg(m_panel.Port());
    EXPECT_EQ(table.model()->index(alarm, PanelTableModel::PeerColumn).data().toString(), peer);
    EXPECT_GT(PixelsOf(table, alarm, PanelTableModel::ALARM_BACKGROUND), 100);
    EXPECT_EQ(PixelsOf(table, quiet, PanelTableModel::ALARM_BACKGROUND), 0);

    auto* filter = Find<QLineEdit>(*m_console->PanelViewWindow(), "panelFilter");
    filter->setText(u"被撬"_s);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return ColumnTexts(*table.model(), 0) == QStringList{u"0"_s}; }, WAIT_MS));
    filter->clear();
    EXPECT_TRUE(QTest::qWaitFor([&] { return table.model()->rowCount() == 2; }, WAIT_MS));
}

// However fast frames come, the table hears of them at most once per refresh period.
TEST_F(PanelViewTest, FramesInQuickSuccessionReachTheTableInBatches)
{
    ASSERT_NE(OpenFromWindowMenu(), nullptr);
    Send(StatusFrame(6, 6, DEFAULT_STATUS));
    ASSERT_TRUE(WaitForRows("panelTable", 1));
    QSignalSpy changed(Table("panelTable")->model(), &QAbstractItemModel::dataChanged);
    // Frames for several periods, each waited for.
    QElapsedTimer clock;
    clock.start();
    int frames = 0;
    while (frames < 40 || clock.elapsed() < 5 * PanelView::REFRESH_PERIOD_MS) {
        Send(StatusFrame(6, 6, DEFAULT_STATUS));
        ++frames;
    }
    const qint64 periods = clock.elapsed() / PanelView::REFRESH_PERIOD_MS;
    EXPECT_GE(changed.size(), 1);
    EXPECT_LE(changed.size(), periods + 2) << frames << " frames in " << clock.elapsed() << " ms";
    EXPECT_EQ(Table("panelTable")->model()->index(0, PanelTableModel::FramesColumn).data().toString(),
              QString::number(frames + 1));
}

TEST_F(PanelViewTest, APanelSilentPastTheLimitGoesMissingAndComesBackWhenHeard)
{
    PanelView* view = OpenFromWindowMenu();
    ASSERT_NE(view, nullptr);
    auto* limit = Find<QSpinBox>(*view, "silenceLimit");
    EXPECT_EQ(limit->text(), u"关闭"_s); // off until the operator sets it
    Send(StatusFrame(5, 5, DEFAULT_STATUS));
    ASSERT_TRUE(WaitForRows("panelTable", 1));
    const auto state = [this] {
        return Table("panelTable")->model()->index(0, PanelTableModel::StateColumn).data().toString();
    };
    EXPECT_EQ(state(), u"在线"_s);
    limit->setValue(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state() == u"失联"_s; }, WAIT_MS));
    Send(StatusFrame(5, 5, DEFAULT_STATUS));
    ASSERT_TRUE(QTest::qWaitFor([&] { return state() == u"在线"_s; }, WAIT_MS));
    limit->setValue(0);
    EXPECT_EQ(m_console->Engine().Book().SilenceLimit().count(), 0);
}

TEST_F(PanelViewTest, DoubleClickingAPanelShowsOnlyItsEventsUntilAllAreAskedFor)
{
    PanelView* view = OpenFromWindowMenu();
    ASSERT_NE(view, nullptr);
    Send(StatusFrame(1, 1, {0x01, 0x11, 0x00, 0x00}));
    Send(StatusFrame(2, 2, {0x02, 0x11, 0x00, 0x00}));
    Send(StatusFrame(1, 1, {0x00, 0x11, 0x00, 0x00}));
    ASSERT_TRUE(WaitForRows("eventLog", 3));
    QTableView& table = *Table("panelTable");
    const int second = RowOf(table, u"2"_s, u"2"_s);
    ASSERT_GE(second, 0);
    const QRect cell = table.visualRect(table.model()->index(second, PanelTableModel::PeerColumn));
    QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(table.viewport(), Qt::LeftButton, {}, cell.center());

    const QAbstractItemModel& log = *Table("eventLog")->model();
    EXPECT_EQ(ColumnTexts(log, 1), QStringList{u"2:2 (127.0.0.1)"_s});
    EXPECT_EQ(Find<QLabel>(*view, "eventLogTitle")->text(), u"事件：面板 2:2 (127.0.0.1)"_s);
    EXPECT_TRUE(Find<QPushButton>(*view, "showAllEvents")->isEnabled());
    // The filter holds for events that come later.
    Send(StatusFrame(1, 1, {0x01, 0x11, 0x00, 0x00}));
    Send(StatusFrame(2, 2, {0x00, 0x11, 0x00, 0x00}));
    ASSERT_TRUE(WaitForRows("eventLog", 2));

    Click(*view, "showAllEvents");
    EXPECT_EQ(log.rowCount(), 5);
    EXPECT_EQ(Find<QLabel>(*view, "eventLogTitle")->text(), u"事件：全部面板"_s);
    EXPECT_FALSE(Find<QPushButton>(*view, "showAllEvents")->isEnabled());
}

TEST_F(PanelViewTest, TheEventLogCopiesAndSavesItsLinesAsText)
{
    PanelView* view = OpenFromWindowMenu();
    ASSERT_NE(view, nullptr);
    Send(StatusFrame(4, 4, {0x81, 0x11, 0x00, 0x00}));
    ASSERT_TRUE(WaitForRows("eventLog", 2));
    QTableView& log = *Table("eventLog");
    log.setFocus();
    log.selectAll();
    QTest::keySequence(&log, QKeySequence::Copy);
    const QStringList lines = QApplication::clipboard()->text().split(u'\n');
    ASSERT_EQ(lines.size(), 2);
    // The companion's event line, with the port the panel sent from.
    const QString panel = u" event 127.0.0.1:%1 comm 4 dev 4 "_s.arg(m_panel.Port());
    EXPECT_TRUE(lines[0].endsWith(panel + u"zone-alarm zone 1 (3 防区报警)"_s)) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith(panel + u"zone-alarm zone 8 (3 防区报警)"_s)) << lines[1].toStdString();

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSignalSpy finished(view, &PanelView::SaveFinished);
    const QString path = dir.filePath(u"events.txt"_s);
    ASSERT_TRUE(view->SaveEventLog(path));
    // What comes after the save started stays out of the file.
    Send(StatusFrame(4, 4, DEFAULT_STATUS));
    ASSERT_TRUE(finished.wait(WAIT_MS));
    EXPECT_EQ(finished.value(0).value(0).toString(), QString());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()), lines.join(u'\n') + u'\n');

    // A file that cannot be made: the operator is told, and nothing claims success.
    MessageRecorder recorder;
    finished.clear();
    EXPECT_FALSE(view->SaveEventLog(dir.filePath(u"no/such/folder/events.txt"_s)));
    ASSERT_EQ(finished.size(), 1);
    EXPECT_FALSE(finished.value(0).value(0).toString().isEmpty());
    EXPECT_EQ(recorder.messages.size(), 1);
}

TEST_F(PanelViewTest, TheRegistryTabFollowsTheStatusEachSimulatedPanelHoldsAfterTheConsolesEvents)
{
    ASSERT_NE(OpenFromWindowMenu(), nullptr);
    const struct
    {
        const char* comm;
        const char* dev;
        const char* zone;
        int event; // catalogue row
    } sends[] = {
        {"0", "1", "1", 3}, // zone alarm
        {"3", "7", "1", 6}, // device disarm
        {"0", "1", "5", 3},
        {"3", "7", "2", 1}, // zone 2 armed again
    };
    for (const auto& send : sends) {
        SetText(*m_console, "IDC_COMM_NO", QString::fromLatin1(send.comm));
        SetText(*m_console, "IDC_DEVICE_NO", QString::fromLatin1(send.dev));
        SetText(*m_console, "IDC_ZONE_NO", QString::fromLatin1(send.zone));
        Find<QComboBox>(*m_console, "IDC_EVENT_TYPE")->setCurrentIndex(send.event);
        Click(*m_console, "IDC_SEND_EVENT");
        ASSERT_TRUE(m_sink.Receive().has_value());
    }
    const QAbstractItemModel& registry = *Table("registryTable")->model();
    const QStringList status{u"11 11 00 00"_s, u"00 11 FD 00"_s};
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return ColumnTexts(registry, RegistryModel::StatusBytesColumn) == status; }, WAIT_MS))
        << ColumnTexts(registry, RegistryModel::StatusBytesColumn).join(u'|').toStdString();
    EXPECT_EQ(ColumnTexts(registry, RegistryModel::CommColumn), (QStringList{u"0"_s, u"3"_s}));
}

// As the program runs it: closing the console with the view open closes both and ends the program with 0.
TEST_F(PanelViewTest, ClosingTheConsoleClosesTheViewAndEndsTheProgram)
{
    PanelView* view = OpenFromWindowMenu();
    ASSERT_NE(view, nullptr);
    QTimer::singleShot(20, m_console.get(), [this] { QTest::keyClick(m_console.get(), Qt::Key_Escape); });
    QTimer::singleShot(5000, m_console.get(), [] { QApplication::exit(1); }); // a bound, should closing fail
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(view->isVisible());
    EXPECT_FALSE(view->Refreshing());
}

} // namespace
