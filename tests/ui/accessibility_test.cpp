#include "tests/support/hex_text.h"
#include "tests/support/loopback_peer.h"
#include "tests/ui/ui_harness.h"
#include "ui/about_dlg.h"
#include "ui/frame_list_accessible.h"
#include "ui/frame_list_view.h"
#include "ui/host_center_dlg.h"

#include <QAccessible>
#include <QAccessibleEvent>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int WAIT_MS = 5000;
const std::vector<std::uint8_t> ONLINE = BytesOfLine(u" 08 00 01 00 00 00 01 0A"_s);

QAccessibleInterface* Interface(QObject* object)
{
    return QAccessible::queryAccessibleInterface(object);
}

// Assistive technology attached for a test, with the events it would receive kept.
class AccessibilityClient final
{
public:
    AccessibilityClient()
    {
        events().clear();
        AttachAccessibilityClient(&Record);
    }
    ~AccessibilityClient() { AttachAccessibilityClient(nullptr); }
    Q_DISABLE_COPY_MOVE(AccessibilityClient)

    struct Event
    {
        QObject* object{nullptr};
        QAccessible::Event type{QAccessible::ObjectCreated};
        int child{-1};
    };
    static std::vector<Event>& events()
    {
        static std::vector<Event> kept;
        return kept;
    }
    static std::vector<Event> Of(QObject* object, QAccessible::Event type)
    {
        std::vector<Event> found;
        for (const Event& event : events())
            if (event.object == object && event.type == type)
                found.push_back(event);
        return found;
    }

private:
    static void Record(QAccessibleEvent* event)
    {
        events().push_back({event->object(), event->type(), event->child()});
    }
};

TEST(Accessibility, FieldsAreNamedByTheirLabelsAndSameCaptionButtonsByTheirGroup)
{
    AccessibilityClient client;
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    const struct
    {
        const char* control;
        QAccessible::Role role;
        QString name;
        QString description;
    } cases[] = {
        {"IDC_SOURCE_PORT", QAccessible::EditableText, u"源端口"_s, {}},
        {"IDC_DEST_IP", QAccessible::EditableText, u"ip地址"_s, {}},
        {"IDC_DEST_PORT", QAccessible::EditableText, u"目的端口"_s, {}},
        {"IDC_COMM_NO", QAccessible::EditableText, u"通讯机号"_s, {}},
        {"IDC_DEVICE_NO", QAccessible::EditableText, u"设备编号"_s, {}},
        {"IDC_ZONE_NO", QAccessible::EditableText, u"防区编号"_s, {}},
        {"IDC_CUSTOM_TEXT", QAccessible::EditableText, u"自定义命令"_s, {}},
        {"IDC_START", QAccessible::Button, u"开始"_s, u"源端口"_s},
        {"IDC_STOP", QAccessible::Button, u"停止"_s, u"源端口"_s},
        {"IDC_SEND_EVENT", QAccessible::Button, u"发送"_s, u"指定消息发送"_s},
        {"IDC_AUTO_SEND", QAccessible::Button, u"发送"_s, u"自动发送"_s},
        {"IDC_AUTO_STOP", QAccessible::Button, u"停止"_s, u"自动发送"_s},
        {"IDC_SEND_CUSTOM", QAccessible::Button, u"发送"_s, u"自定义命令"_s},
        {"IDC_CLEAR_SENT", QAccessible::Button, u"清除"_s, u"发送"_s},
        {"IDC_CLEAR_RECV", QAccessible::Button, u"清除"_s, u"接收"_s},
        {"IDC_SENT_LIST", QAccessible::List, u"发送"_s, {}},
        {"IDC_RECV_LIST", QAccessible::List, u"接收"_s, {}},
    };
    std::set<std::pair<QString, QString>> buttons;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control);
        QAccessibleInterface* iface = Interface(Find(*dialog, c.control));
        ASSERT_NE(iface, nullptr);
        EXPECT_EQ(iface->role(), c.role);
        EXPECT_EQ(iface->text(QAccessible::Name), c.name);
        if (!c.description.isEmpty()) {
            EXPECT_EQ(iface->text(QAccessible::Description), c.description);
        }
        if (c.role == QAccessible::Button) {
            EXPECT_TRUE(buttons.emplace(c.name, c.description).second) << "told apart from another button";
        }
    }
    // Labels are tied to their fields, not only beside them; the event list is read by its label too.
    const std::pair<const char*, const char*> labels[] = {
        {"IDC_SOURCE_PORT", "sourcePortLabel"},
        {"IDC_ZONE_NO", "zoneNoLabel"},
        {"IDC_EVENT_TYPE", "eventTypeLabel"},
        {"IDC_RECV_LIST", "recvListLabel"},
    };
    for (const auto& [control, label] : labels) {
        const auto relations = Interface(Find(*dialog, control))->relations(QAccessible::Label);
        ASSERT_EQ(relations.size(), 1) << control;
        EXPECT_EQ(relations.front().first->object(), Find(*dialog, label)) << control;
    }

    CAboutDlg about(dialog.get());
    EXPECT_EQ(Interface(Find(about, "IDOK"))->text(QAccessible::Name), u"确定"_s);
    EXPECT_EQ(Interface(Find(about, "aboutIcon"))->text(QAccessible::Name), u"Veltrano"_s);
}

// Frames sent to the console itself over loopback: the sent list holds the frame and the acknowledgement
// that came back, the received list the frame.
TEST(Accessibility, ListsReadTheirLinesAsDrawnWithTheirDecodingAndTheViewsSelection)
{
    AccessibilityClient client;
    const auto dialog = StartConsole();
    ASSERT_TRUE(dialog);
    for (int i = 0; i < 3; ++i)
        Click(*dialog, "IDC_SEND_EVENT");
    auto* sent = Find<FrameListView>(*dialog, "IDC_SENT_LIST");
    auto* received = Find<FrameListView>(*dialog, "IDC_RECV_LIST");
    // Three frames and their three acknowledgements each way.
    ASSERT_TRUE(QTest::qWaitFor([&] { return received->count() == 6 && sent->count() == 6; }, WAIT_MS));

    for (FrameListView* view : {sent, received}) {
        SCOPED_TRACE(view->objectName().toStdString());
        QAccessibleInterface* list = Interface(view);
        ASSERT_EQ(list->childCount(), static_cast<int>(view->count()));
        EXPECT_EQ(list->child(static_cast<int>(view->count())), nullptr);
        for (int row = 0; row < list->childCount(); ++row) {
            QAccessibleInterface* item = list->child(row);
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(item->role(), QAccessible::ListItem);
            EXPECT_EQ(item->text(QAccessible::Name), view->text(static_cast<std::size_t>(row)));
            EXPECT_EQ(item->text(QAccessible::Description), view->ToolTip(static_cast<std::size_t>(row)));
            EXPECT_EQ(item->parent(), list);
            EXPECT_EQ(list->indexOfChild(item), row);
            EXPECT_FALSE(item->state().selected);
        }
        EXPECT_TRUE(list->text(QAccessible::Description).contains(u"帧：3"_s));
    }

    // The keyboard moves the view's current line; the item says so, and the reader is told.
    received->setFocus();
    QTest::keyClick(received, Qt::Key_Down);
    QTest::keyClick(received, Qt::Key_Down, Qt::ShiftModifier);
    QAccessibleInterface* list = Interface(received);
    EXPECT_TRUE(list->child(0)->state().selected);
    EXPECT_TRUE(list->child(1)->state().selected);
    EXPECT_TRUE(list->child(1)->state().focused);
    EXPECT_FALSE(list->child(0)->state().focused);
    EXPECT_FALSE(list->child(2)->state().selected);
    EXPECT_EQ(list->focusChild(), list->child(1));
    const auto focus = AccessibilityClient::Of(received, QAccessible::Focus);
    ASSERT_FALSE(focus.empty());
    EXPECT_EQ(focus.back().child, 1);
    // Elsewhere, the list's current line is no longer the focus.
    sent->setFocus();
    EXPECT_FALSE(list->child(1)->state().focused);
    EXPECT_EQ(list->focusChild(), nullptr);

    // A cleared line is gone for good, even if a new line takes its row.
    QAccessibleInterface* first = list->child(0);
    Find<QPushButton>(*dialog, "IDC_CLEAR_RECV")->click();
    EXPECT_FALSE(first->isValid());
    EXPECT_EQ(list->childCount(), 0);
}

TEST(Accessibility, NewLinesAreAnnouncedAFewTimesASecondHoweverFastTheyCome)
{
    FrameListView view;
    view.resize(300, 200);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    {
        // Nobody listening: nothing is announced.
        for (int i = 0; i < 100; ++i)
            view.AppendFrame({ONLINE, 0, {}, 0});
        QTest::qWait(2 * FrameListAnnouncer::PERIOD_MS);
    }
    AccessibilityClient client;
    EXPECT_TRUE(AccessibilityClient::Of(&view, QAccessible::ObjectCreated).empty());

    // About 1.2 s of lines, 200 every 20 ms.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1200) {
        for (int i = 0; i < 200; ++i)
            view.AppendFrame({ONLINE, 0, {}, 0});
        QTest::qWait(20);
    }
    QTest::qWait(2 * FrameListAnnouncer::PERIOD_MS);
    const auto announced = AccessibilityClient::Of(&view, QAccessible::ObjectCreated);
    const auto bound = static_cast<std::size_t>(clock.elapsed() / FrameListAnnouncer::PERIOD_MS + 2);
    EXPECT_GE(announced.size(), 2U);
    EXPECT_LE(announced.size(), bound) << view.count() << " lines";
    ASSERT_FALSE(announced.empty());
    EXPECT_EQ(announced.back().child, static_cast<int>(view.count()) - 1); // the newest line
}

TEST(Accessibility, OnlyTheLinesAskedForAreBuiltAndTheCacheStaysBounded)
{
    AccessibilityClient client;
    FrameListView view;
    view.resize(300, 200);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    constexpr int LINES = 200000;
    for (int i = 0; i < LINES; ++i)
        view.AppendFrame({ONLINE, 0, {}, 0});
    const std::size_t before = FrameListItemsAlive();
    QAccessibleInterface* list = Interface(&view);
    EXPECT_EQ(list->childCount(), LINES);
    EXPECT_EQ(FrameListItemsAlive(), before);

    EXPECT_EQ(list->child(LINES - 1)->text(QAccessible::Name), view.text(LINES - 1));
    EXPECT_EQ(list->child(LINES - 1), list->child(LINES - 1)); // asked twice, built once
    EXPECT_EQ(FrameListItemsAlive(), before + 1);

    // A reader walking many lines holds no more than the cache's bound.
    for (int row = 0; row < 5000; ++row)
        ASSERT_NE(list->child(row * 40), nullptr);
    EXPECT_LE(FrameListItemsAlive(), before + FrameListAccessible::MAX_CACHED_ITEMS + 1);
    // The visible lines stay, whatever else was let go.
    EXPECT_TRUE(list->child(0)->isValid());
    EXPECT_FALSE(list->child(0)->state().invisible);
    EXPECT_TRUE(list->child(LINES / 2)->state().invisible);
}

TEST(Accessibility, TheKeyboardReachesEveryLineAndEveryActionOfTheMenu)
{
    FrameListView view;
    view.resize(300, 10 * view.RowHeight() + 4);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    constexpr int LINES = 100;
    for (int i = 0; i < LINES; ++i)
        view.AppendFrame({ONLINE, 0, {}, 0});
    view.setFocus();
    const qint64 page = view.VisibleRowCount();
    const struct
    {
        Qt::Key key;
        qint64 current;
    } steps[] = {
        {Qt::Key_Down, 0},        {Qt::Key_Down, 1}, {Qt::Key_PageDown, 1 + page},
        {Qt::Key_End, LINES - 1}, {Qt::Key_Up, 98},  {Qt::Key_PageUp, 98 - page},
        {Qt::Key_Home, 0},
    };
    for (const auto& step : steps) {
        QTest::keyClick(&view, step.key);
        EXPECT_EQ(view.CurrentRow(), step.current) << step.key;
        EXPECT_FALSE(view.RowRect(static_cast<std::size_t>(view.CurrentRow())).isEmpty()) << step.key;
    }

    // Shift+F10 opens the menu at the current line; the arrows reach each of its actions.
    QTest::keyClick(&view, Qt::Key_End);
    QTest::keyClick(&view, Qt::Key_F10, Qt::ShiftModifier);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->objectName(), u"listMenu"_s);
    // Below the line, or above it where the screen ends.
    const QPoint below = view.viewport()->mapToGlobal(view.RowRect(LINES - 1).bottomLeft());
    const auto nearLine = [&](const QMenu* shown) {
        return std::abs(shown->y() - below.y()) <= shown->height() + view.RowHeight();
    };
    EXPECT_TRUE(nearLine(menu)) << menu->y() << " " << below.y();
    std::set<QAction*> reached;
    for (int i = 0; i < 2 * menu->actions().size(); ++i) {
        QTest::keyClick(menu, Qt::Key_Down);
        if (menu->activeAction() != nullptr)
            reached.insert(menu->activeAction());
    }
    std::set<QAction*> actions;
    for (QAction* action : menu->actions())
        if (!action->isSeparator() && action->isEnabled())
            actions.insert(action);
    EXPECT_EQ(reached, actions);
    EXPECT_GE(actions.size(), 4U); // copy, select all, the two saves at least
    menu->close();

    // The context menu key arrives as a keyboard context menu event.
    QContextMenuEvent key(QContextMenuEvent::Keyboard, {}, view.mapToGlobal(QPoint()));
    QApplication::sendEvent(&view, &key);
    menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(nearLine(menu));
    menu->close();
}

} // namespace
