#include "tests/support/hex_text.h"
#include "tests/support/loopback_peer.h"
#include "tests/ui/ui_harness.h"
#include "ui/about_dlg.h"
#include "ui/dialog_template.h"
#include "ui/frame_list_view.h"
#include "ui/host_center_dlg.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>
#include <set>
#include <vector>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int WAIT_MS = 3000;
const QString STATUS_LINE = u" 0C 00 01 00 00 00 02 01 11 00 00 21"_s;
const QString ACK_LINE = u" 08 00 01 00 00 00 82 8B"_s;

// What each console state disables; every other control of the template is enabled.
const std::set<std::string> IDLE{"IDC_STOP", "IDC_SEND_EVENT", "IDC_AUTO_SEND", "IDC_AUTO_STOP"};
const std::set<std::string> STARTED{"IDC_START", "IDC_AUTO_STOP"};
const std::set<std::string> SWEEPING{"IDC_START", "IDC_AUTO_SEND", "IDC_DEST_IP", "IDC_DEST_PORT"};

std::set<std::string> DisabledControls(const QWidget& dialog)
{
    std::set<std::string> disabled;
    for (const ControlTemplate& control : MainTemplateControls())
        if (!IsStatic(control.kind) && !Find(dialog, control.name)->isEnabled())
            disabled.insert(control.name);
    return disabled;
}

TEST(ConsoleWindow, OpensWithItsDefaultsAndNoFocusedControlAndItsFieldsTakeOnlyWhatTheyMayHold)
{
    CHostCenterDlg dialog; // nothing is sent here, so the default destination may stay
    EXPECT_EQ(dialog.windowTitle(), u"主机/中心模拟器"_s);
    QStringList texts;
    for (const char* field : {"IDC_COMM_NO", "IDC_DEVICE_NO", "IDC_ZONE_NO", "IDC_DEST_PORT",
                              "IDC_SOURCE_PORT", "IDC_CUSTOM_TEXT"})
        texts << Find<QLineEdit>(dialog, field)->text();
    EXPECT_EQ(texts, (QStringList{u"0"_s, u"1"_s, u"1"_s, u"8015"_s, u"7015"_s, u""_s}));

    const auto* events = Find<QComboBox>(dialog, "IDC_EVENT_TYPE");
    ASSERT_EQ(events->count(), 23);
    EXPECT_EQ(events->currentIndex(), 0);
    EXPECT_EQ(events->itemText(0), u"设备在线命令"_s);
    EXPECT_EQ(events->itemText(22), u"触发恢复"_s);

    EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(dialog.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(QApplication::focusWidget(), &dialog);

    const struct
    {
        const char* field;
        QString typed, kept;
    } typing[] = {
        {"IDC_COMM_NO", u"a1-2 b3."_s, u"123"_s},                    // digits only
        {"IDC_SOURCE_PORT", u"70 15x"_s, u"7015"_s},                 // in every number field
        {"IDC_CUSTOM_TEXT", QString(300, u'7'), QString(255, u'7')}, // at most 255 characters
    };
    for (const auto& t : typing) {
        auto* edit = Find<QLineEdit>(dialog, t.field);
        edit->clear();
        QTest::keyClicks(edit, t.typed);
        EXPECT_EQ(edit->text(), t.kept) << t.field;
    }
}

TEST(ConsoleWindow, PlacesItsControlsInDialogUnitsOfItsFontInTabOrderAndKeepsItsSize)
{
    // A quarter of the average letter width across, an eighth of the character height down, rounded.
    EXPECT_EQ(DialogUnitsToPixels(QRect(57, 80, 106, 14), {6, 12}), QRect(86, 120, 159, 21));
    EXPECT_EQ(DialogUnitsToPixels(QRect(57, 80, 106, 14), {8, 14}), QRect(114, 140, 212, 25));
    EXPECT_EQ(DialogUnitsToPixels(QRect(663, 85, 23, 14), {8, 14}), QRect(1326, 149, 46, 25));
    EXPECT_EQ(DialogUnitsToPixels(QSize(701, 382), {6, 12}), QSize(1052, 573));

    CHostCenterDlg dialog;
    const QFontMetrics metrics(dialog.font());
    const int letters = metrics.horizontalAdvance(u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"_s);
    const DialogBaseUnits base{(letters + 26) / 52, metrics.height()};
    const std::pair<const char*, QRect> placed[] = {
        {"IDC_DEST_IP", {57, 80, 106, 14}},
        {"IDC_RECV_LIST", {323, 154, 334, 217}},
        {"formatLabel", {28, 343, 152, 8}},
    };
    for (const auto& [name, units] : placed)
        EXPECT_EQ(Find(dialog, name)->geometry(), DialogUnitsToPixels(units, base)) << name;
    EXPECT_EQ(dialog.size(), DialogUnitsToPixels(QSize(701, 382), base));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());

    const QStringList tabOrder =
        u"IDC_DEST_IP IDC_DEST_PORT IDC_START IDC_STOP IDC_EVENT_TYPE IDC_SEND_EVENT IDC_COMM_NO "
        u"IDC_DEVICE_NO IDC_ZONE_NO IDC_AUTO_SEND IDC_AUTO_STOP IDC_RECV_LIST IDC_CLEAR_RECV IDC_SENT_LIST "
        u"IDC_CLEAR_SENT IDC_SEND_CUSTOM IDC_CUSTOM_TEXT IDC_SOURCE_PORT IDC_DEBUG"_s.split(u' ');
    QStringList chain;
    QWidget* widget = Find(dialog, "IDC_DEST_IP");
    for (int guard = 0; guard < 1000 && chain.size() < tabOrder.size(); ++guard) {
        if (tabOrder.contains(widget->objectName()) && !chain.contains(widget->objectName()))
            chain << widget->objectName();
        widget = widget->nextInFocusChain();
    }
    EXPECT_EQ(chain, tabOrder);
}

// Before each exchange the members hold 11, 12, 3 and "kept"; a failing step keeps what it stored and
// leaves the later steps alone.
TEST(DataExchange, StopsAtTheFirstFailingFieldAfterItsPrompt)
{
    const QString range239 = u"请输入一个介于 0 和 239 之间的整数。"_s, integer = u"请输入一个整数。"_s;
    const QString kept = u"kept"_s, typed = u"0b 00"_s, tooLong(256, u'a');
    const struct
    {
        QString comm, device, zone, command;
        QString prompt; // none: the exchange passes
        int commNo, deviceNo, zoneNo;
        QString commandText;
    } cases[] = {
        {u"239"_s, u"239"_s, u"8"_s, typed, {}, 239, 239, 8, typed},
        {u" 7 "_s, u"\t0"_s, u"1  "_s, typed, {}, 7, 0, 1, typed},
        {u"240"_s, u"5"_s, u"5"_s, typed, range239, 240, 12, 3, kept},
        {u"5"_s, u"240"_s, u"5"_s, typed, range239, 5, 240, 3, kept},
        {u"5"_s, u"5"_s, u"9"_s, typed, u"请输入一个介于 0 和 8 之间的整数。"_s, 5, 5, 9, kept},
        {u""_s, u"5"_s, u"5"_s, typed, integer, 11, 12, 3, kept},
        {u"5"_s, u"6"_s, u""_s, typed, integer, 5, 6, 3, kept},
        {u"1 2"_s, u"5"_s, u"5"_s, typed, integer, 11, 12, 3, kept},
        {u"-1"_s, u"5"_s, u"5"_s, typed, range239, -1, 12, 3, kept},
        {u"99999999999"_s, u"5"_s, u"5"_s, typed, range239, INT_MAX, 12, 3, kept},
        {u"5"_s, u"5"_s, u"5"_s, tooLong, u"请输入不超过 255 个字符。"_s, 5, 5, 5, tooLong},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qPrintable(c.comm + u'|' + c.device + u'|' + c.zone + u'|' + c.command.left(8)));
        CHostCenterDlg dialog;
        SetText(dialog, "IDC_COMM_NO", u"11"_s);
        SetText(dialog, "IDC_DEVICE_NO", u"12"_s);
        SetText(dialog, "IDC_ZONE_NO", u"3"_s);
        SetText(dialog, "IDC_CUSTOM_TEXT", kept);
        ASSERT_TRUE(dialog.UpdateData(true));
        MessageRecorder recorder;
        SetText(dialog, "IDC_COMM_NO", c.comm);
        SetText(dialog, "IDC_DEVICE_NO", c.device);
        SetText(dialog, "IDC_ZONE_NO", c.zone);
        auto* command = Find<QLineEdit>(dialog, "IDC_CUSTOM_TEXT");
        command->setMaxLength(1000); // as a paste past the limit would need
        command->setText(c.command);

        EXPECT_EQ(dialog.UpdateData(true), c.prompt.isEmpty());
        EXPECT_EQ(recorder.messages, c.prompt.isEmpty() ? QStringList() : QStringList{c.prompt});
        const FormValues& form = dialog.Form();
        EXPECT_EQ(std::tie(form.commNo, form.deviceNo, form.zoneNo, form.commandText),
                  std::tie(c.commNo, c.deviceNo, c.zoneNo, c.commandText));
        EXPECT_TRUE(dialog.UpdateData(false));
        EXPECT_EQ(command->text(), c.commandText.left(255)); // the way back cuts an overlong member
    }
}

// Enter off a push button runs the exchange and closes only when it passes; Enter on a push button
// presses it; Escape closes at once, from any control.
TEST(Closing, ByKeysTheCloseBoxAndTheMenuAsTheFocusedControlAndTheFieldsWant)
{
    const struct
    {
        QString zone;
        const char* focus; // nullptr: the dialog itself
        Qt::Key key;
        bool closes;
        QDialog::DialogCode result;
        int prompts;
        qsizetype sentLines; // one before the key
    } cases[] = {
        {u"1"_s, "IDC_CUSTOM_TEXT", Qt::Key_Return, true, QDialog::Accepted, 0, 1},
        {u"9"_s, "IDC_CUSTOM_TEXT", Qt::Key_Return, false, QDialog::Rejected, 1, 1},
        {u""_s, "IDC_COMM_NO", Qt::Key_Enter, false, QDialog::Rejected, 1, 1},
        {u"1"_s, nullptr, Qt::Key_Return, true, QDialog::Accepted, 0, 1},
        {u"2"_s, "IDC_EVENT_TYPE", Qt::Key_Return, true, QDialog::Accepted, 0, 1},
        {u"3"_s, "IDC_SENT_LIST", Qt::Key_Return, true, QDialog::Accepted, 0, 1},
        {u"9"_s, "IDC_CLEAR_SENT", Qt::Key_Return, false, QDialog::Rejected, 0, 0},
        {u"9"_s, "IDC_CUSTOM_TEXT", Qt::Key_Escape, true, QDialog::Rejected, 0, 1},
        {u"9"_s, "IDC_RECV_LIST", Qt::Key_Escape, true, QDialog::Rejected, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.focus ? c.focus : "dialog") << " key " << c.key);
        MessageRecorder recorder;
        const auto dialog = OpenConsole();
        ASSERT_TRUE(dialog);
        const std::vector<std::uint8_t> online = BytesOfLine(u" 08 00 01 00 00 00 01 0A"_s);
        Find<FrameListView>(*dialog, "IDC_SENT_LIST")->AppendFrame({online, 0, {}, 0});
        Find<FrameListView>(*dialog, "IDC_RECV_LIST")->AppendFrame({online, 0, {}, 0});
        SetText(*dialog, "IDC_ZONE_NO", c.zone);
        QWidget* target = c.focus ? Find(*dialog, c.focus) : dialog.get();
        target->setFocus();
        QTest::keyClick(target, c.key, c.key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        EXPECT_EQ(dialog->isVisible(), !c.closes);
        EXPECT_EQ(dialog->result(), c.result);
        EXPECT_EQ(recorder.messages.size(), c.prompts);
        EXPECT_EQ(Lines(*dialog, "IDC_SENT_LIST").size(), c.sentLines);
        EXPECT_EQ(Lines(*dialog, "IDC_RECV_LIST").size(), 1); // each Clear empties its own list only
    }

    // The close box and the menu's Close close whatever the fields hold.
    MessageRecorder recorder;
    for (const bool viaMenu : {false, true}) {
        const auto dialog = OpenConsole();
        ASSERT_TRUE(dialog);
        SetText(*dialog, "IDC_COMM_NO", u""_s);
        const auto actions = dialog->SystemMenu()->actions();
        const auto close = std::ranges::find(actions, u"关闭(&C)"_s, &QAction::text);
        ASSERT_NE(close, actions.end());
        viaMenu ? (*close)->trigger() : static_cast<void>(dialog->close());
        EXPECT_FALSE(dialog->isVisible()) << viaMenu;
        EXPECT_EQ(dialog->result(), QDialog::Rejected) << viaMenu;
    }
    EXPECT_TRUE(recorder.messages.isEmpty());
}

// Start refuses an empty source port and one that is taken, with a message each, and stays idle.
TEST(ConsoleCommands, EnablingFollowsStartStopAndAutomaticSending)
{
    MessageRecorder recorder;
    LoopbackPeer sink;
    LoopbackPeer holder; // holds its port on 127.0.0.1, so binding it on every interface fails
    ASSERT_TRUE(holder.IsValid());
    const auto dialog = OpenConsole(QString::number(sink.Port()));
    ASSERT_TRUE(dialog);
    const QString free = QString::number(FreeUdpPort()), held = QString::number(holder.Port());
    const struct
    {
        QString sourcePort;
        const char* button; // nullptr: nothing pressed
        const std::set<std::string>* state;
        QString message;
    } steps[] = {
        {free, nullptr, &IDLE, {}},
        {u""_s, "IDC_START", &IDLE, u"源端口不能为空"_s},
        {held, "IDC_START", &IDLE, u"源端口打开失败，可能已被占用"_s},
        {free, "IDC_START", &STARTED, {}},
        {free, "IDC_AUTO_SEND", &SWEEPING, {}},
        {free, "IDC_AUTO_STOP", &STARTED, {}},
        {free, "IDC_AUTO_SEND", &SWEEPING, {}},
        {free, "IDC_STOP", &IDLE, {}}, // ends the sweep too
        {free, "IDC_START", &STARTED, {}},
        {free, "IDC_STOP", &IDLE, {}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.sourcePort.toStdString() + ' ' + (step.button ? step.button : "opened"));
        SetText(*dialog, "IDC_SOURCE_PORT", step.sourcePort);
        if (step.button)
            Click(*dialog, step.button);
        EXPECT_EQ(DisabledControls(*dialog), *step.state);
        EXPECT_EQ(dialog->Engine().State() == ConsoleState::Sweeping, step.state == &SWEEPING);
        EXPECT_EQ(dialog->Engine().ListeningPort() != 0, step.state != &IDLE);
        EXPECT_EQ(recorder.messages, step.message.isEmpty() ? QStringList() : QStringList{step.message});
        recorder.messages.clear();
    }
}

TEST(ConsoleCommands, AFrameFromOneConsoleIsAcknowledgedByAnotherAndTheAckIsNotAnswered)
{
    const auto a = OpenConsole();
    ASSERT_TRUE(a);
    const int portA = StartOnFreePort(*a);
    const auto b = OpenConsole(QString::number(portA));
    ASSERT_TRUE(b);
    SetText(*a, "IDC_DEST_PORT", QString::number(StartOnFreePort(*b)));

    Find<QComboBox>(*a, "IDC_EVENT_TYPE")->setCurrentIndex(3); // zone alarm
    Click(*a, "IDC_SEND_EVENT");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Lines(*a, "IDC_RECV_LIST").isEmpty(); }, WAIT_MS));
    EXPECT_EQ(Lines(*a, "IDC_SENT_LIST"), QStringList{STATUS_LINE});
    EXPECT_EQ(Lines(*b, "IDC_RECV_LIST"), QStringList{STATUS_LINE});
    EXPECT_EQ(Lines(*b, "IDC_SENT_LIST"), QStringList{ACK_LINE});
    EXPECT_EQ(Lines(*a, "IDC_RECV_LIST"), QStringList{ACK_LINE});
}

// Left sweeping, so the console is also destroyed with its timer running.
TEST(ModalBoxes, ARealMessageBoxLetsDatagramsBeAcknowledgedAndTicksSend)
{
    LoopbackPeer sink;
    LoopbackPeer sender;
    const auto dialog = OpenConsole(QString::number(sink.Port()));
    ASSERT_TRUE(dialog);
    const auto port = static_cast<std::uint16_t>(StartOnFreePort(*dialog));
    Click(*dialog, "IDC_AUTO_SEND");
    SetText(*dialog, "IDC_CUSTOM_TEXT", u"zz"_s); // malformed: its send answers with a message box

    // No nested event loop here: the box's own loop has to deliver the datagram and the ticks.
    QStringList seen;
    bool acknowledged = false;
    bool ticked = false;
    Poll([&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return false;
        if (seen.isEmpty()) {
            seen << box->text() << (box->standardButtons() == QMessageBox::Ok ? u"ok only"_s : u"buttons"_s);
            sender.SendTo(port, BytesOfLine(STATUS_LINE));
        }
        const auto reply = sender.TryReceive();
        acknowledged = acknowledged || (reply && reply->bytes == BytesOfLine(ACK_LINE));
        ticked = ticked || sink.TryReceive().has_value();
        return acknowledged && ticked; // then the box is closed
    });
    Click(*dialog, "IDC_SEND_CUSTOM"); // returns when the box has been closed
    EXPECT_EQ(seen, (QStringList{u"输入的命令格式不正确"_s, u"ok only"_s}));
    EXPECT_TRUE(acknowledged);
    EXPECT_TRUE(ticked);
    EXPECT_EQ(Lines(*dialog, "IDC_RECV_LIST").value(0), STATUS_LINE);
}

TEST(ModalBoxes, TheAboutBoxIsTheLastMenuEntryAfterASeparatorAndItsDefaultOkClosesIt)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    const auto actions = dialog->SystemMenu()->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), u"关于 Veltrano(&A)..."_s);

    QStringList seen; // title, the three lines, the default button, whether it closed the box
    WhenModal([&](QWidget* modal) {
        if (qobject_cast<CAboutDlg*>(modal) == nullptr)
            return;
        seen << modal->windowTitle();
        for (const QLabel* label : modal->findChildren<QLabel*>())
            seen << (label->pixmap().isNull() ? label->text() : u"<icon>"_s);
        auto* ok = modal->findChild<QPushButton*>(u"IDOK"_s);
        seen << (ok->isDefault() ? ok->text() : u"no default"_s);
        ok->click();
        seen << (modal->isVisible() ? u"open"_s : u"closed"_s);
    });
    actions.back()->trigger();
    ASSERT_EQ(seen.size(), 6);
    EXPECT_EQ(seen.mid(0, 3), (QStringList{u"关于 Veltrano"_s, u"<icon>"_s, u"Veltrano 2.0 版"_s}));
    EXPECT_EQ(seen.mid(4), (QStringList{u"确定"_s, u"closed"_s}));
    EXPECT_TRUE(dialog->isVisible());
}

// As the program runs it: closing the console ends the event loop with exit code 0.
TEST(Application, ClosingTheConsoleEndsTheProgramWithZero)
{
    CHostCenterDlg console;
    console.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&console));
    QTimer::singleShot(20, &console, [&console] { QTest::keyClick(&console, Qt::Key_Escape); });
    QTimer::singleShot(5000, &console, [] { QApplication::exit(1); }); // a bound, should closing fail
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(console.isVisible());
}

} // namespace
