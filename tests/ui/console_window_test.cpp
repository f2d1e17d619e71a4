#include "engine/control_ids.h"
#include "engine/event_catalogue.h"
#include "tests/ui/dialog_test_support.h"
#include "ui/about_dlg.h"
#include "ui/dialog_template.h"
#include "ui/frame_list_view.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <climits>
#include <ostream>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(ConsoleWindow, OpensAsAnIdleConsoleWithItsDefaults)
{
    CHostCenterDlg dialog; // nothing is sent here, so the default destination may stay
    EXPECT_EQ(dialog.windowTitle(), u"主机/中心模拟器"_s);
    EXPECT_EQ(EditOf(dialog, "IDC_COMM_NO")->text(), u"0"_s);
    EXPECT_EQ(EditOf(dialog, "IDC_DEVICE_NO")->text(), u"1"_s);
    EXPECT_EQ(EditOf(dialog, "IDC_ZONE_NO")->text(), u"1"_s);
    EXPECT_EQ(EditOf(dialog, "IDC_DEST_PORT")->text(), u"8015"_s);
    EXPECT_EQ(EditOf(dialog, "IDC_SOURCE_PORT")->text(), u"7015"_s);
    EXPECT_GE(EditOf(dialog, "IDC_DEST_IP")->text().size(), 8);
    EXPECT_TRUE(EditOf(dialog, "IDC_CUSTOM_TEXT")->text().isEmpty());
    EXPECT_EQ(EditOf(dialog, "IDC_CUSTOM_TEXT")->maxLength(), 255);
    EXPECT_EQ(ListOf(dialog, "IDC_SENT_LIST")->count(), 0u);
    EXPECT_EQ(ListOf(dialog, "IDC_RECV_LIST")->count(), 0u);
    EXPECT_EQ(ActualEnabling(dialog), ExpectedEnabling(ConsoleState::Idle));

    const auto* events = dialog.findChild<QComboBox*>(u"IDC_EVENT_TYPE"_s);
    ASSERT_EQ(events->count(), 23);
    EXPECT_FALSE(events->isEditable());
    EXPECT_EQ(events->currentIndex(), 0);
    EXPECT_EQ(events->itemText(0), u"设备在线命令"_s);
    EXPECT_EQ(events->itemText(22), u"触发恢复"_s);
    for (int i = 0; i < events->count(); ++i)
        EXPECT_EQ(events->itemText(i), EventTypeName(i)) << i;
}

TEST(ConsoleWindow, IsAFixedSizeWindowWithMinimiseButNoMaximiseAndNoFocusedControl)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    const Qt::WindowFlags flags = dialog->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(dialog->windowIcon().isNull());
    for (const ControlTemplate& control : MainTemplateControls())
        EXPECT_FALSE(dialog->findChild<QWidget*>(QString::fromLatin1(control.name))->hasFocus())
            << control.name;
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
        EXPECT_FALSE(button->isDefault()) << qPrintable(button->objectName());
        EXPECT_FALSE(button->autoDefault()) << qPrintable(button->objectName());
    }
}

TEST(ConsoleWindow, EveryTemplateControlCarriesItsCaption)
{
    CHostCenterDlg dialog;
    int controls = 0;
    for (const ControlTemplate& control : MainTemplateControls()) {
        QWidget* widget = dialog.findChild<QWidget*>(QString::fromLatin1(control.name));
        ASSERT_NE(widget, nullptr) << control.name;
        ++controls;
        const QString caption = QString::fromUtf8(control.caption);
        if (const auto* button = qobject_cast<QPushButton*>(widget)) {
            EXPECT_EQ(button->text(), caption);
        } else if (const auto* label = qobject_cast<QLabel*>(widget)) {
            EXPECT_EQ(label->text(), caption);
        } else if (const auto* group = qobject_cast<QGroupBox*>(widget)) {
            EXPECT_EQ(group->title(), caption);
        }
    }
    EXPECT_EQ(controls, 33);
    EXPECT_EQ(dialog.findChild<QLabel*>(u"formatLabel"_s)->text(),
              u"格式：0b 00 02 00 00 00 0f 41 01 00 5e"_s);
}

struct ConversionCase
{
    DialogBaseUnits base;
    QRect units;
    QRect pixels;
};

TEST(DialogUnits, ConvertWithAQuarterCharacterWidthAndAnEighthCharacterHeight)
{
    const ConversionCase cases[] = {
        {{6, 12}, {57, 80, 106, 14}, {86, 120, 159, 21}},  {{8, 14}, {57, 80, 106, 14}, {114, 140, 212, 25}},
        {{8, 14}, {663, 85, 23, 14}, {1326, 149, 46, 25}}, {{7, 13}, {0, 0, 1, 1}, {0, 0, 2, 2}},
        {{6, 12}, {0, 0, 701, 382}, {0, 0, 1052, 573}},
    };
    for (const ConversionCase& c : cases)
        EXPECT_EQ(DialogUnitsToPixels(c.units, c.base), c.pixels) << c.units.x() << "," << c.units.y();
}

TEST(DialogUnits, PlaceTheControlsByTheDialogFont)
{
    CHostCenterDlg dialog;
    const QFontMetrics metrics(dialog.font());
    const int cx = metrics.averageCharWidth();
    const int cy = metrics.height();
    const auto px = [](int units, int base, int divisor) { return (units * base + divisor / 2) / divisor; };
    struct Placed
    {
        const char* name;
        QRect units;
    };
    const Placed placed[] = {
        {"IDC_DEST_IP", {57, 80, 106, 14}},    {"IDC_RECV_LIST", {323, 154, 334, 217}},
        {"IDC_CLEAR_SENT", {663, 85, 23, 14}}, {"IDC_DEBUG", {250, 174, 50, 14}},
        {"formatLabel", {28, 343, 152, 8}},    {"autoSendGroup", {5, 126, 306, 39}},
    };
    for (const Placed& p : placed) {
        const QRect expected(px(p.units.x(), cx, 4), px(p.units.y(), cy, 8), px(p.units.width(), cx, 4),
                             px(p.units.height(), cy, 8));
        EXPECT_EQ(dialog.findChild<QWidget*>(QString::fromLatin1(p.name))->geometry(), expected) << p.name;
    }
    EXPECT_EQ(dialog.size(), QSize(px(701, cx, 4), px(382, cy, 8)));
}

TEST(ConsoleWindow, TabFollowsTheTemplateOrder)
{
    CHostCenterDlg dialog;
    const QStringList expected{
        u"IDC_DEST_IP"_s,     u"IDC_DEST_PORT"_s,   u"IDC_START"_s,      u"IDC_STOP"_s,
        u"IDC_EVENT_TYPE"_s,  u"IDC_SEND_EVENT"_s,  u"IDC_COMM_NO"_s,    u"IDC_DEVICE_NO"_s,
        u"IDC_ZONE_NO"_s,     u"IDC_AUTO_SEND"_s,   u"IDC_AUTO_STOP"_s,  u"IDC_RECV_LIST"_s,
        u"IDC_CLEAR_RECV"_s,  u"IDC_SENT_LIST"_s,   u"IDC_CLEAR_SENT"_s, u"IDC_SEND_CUSTOM"_s,
        u"IDC_CUSTOM_TEXT"_s, u"IDC_SOURCE_PORT"_s, u"IDC_DEBUG"_s};
    QStringList chain;
    QWidget* start = EditOf(dialog, "IDC_DEST_IP");
    QWidget* widget = start;
    for (int guard = 0; guard < 1000; ++guard) {
        if (expected.contains(widget->objectName()) && !chain.contains(widget->objectName()))
            chain << widget->objectName();
        widget = widget->nextInFocusChain();
        if (widget == start)
            break;
    }
    EXPECT_EQ(chain, expected);
}

TEST(ConsoleWindow, TheTabKeyMovesThroughEnabledControlsInTemplateOrder)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    EditOf(*dialog, "IDC_DEST_IP")->setFocus();
    const char* const expected[] = {"IDC_DEST_PORT", "IDC_START", "IDC_EVENT_TYPE", "IDC_COMM_NO"};
    for (const char* name : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), QString::fromLatin1(name));
    }
}

TEST(ConsoleWindow, NumberFieldsTakeOnlyDigitsAndTheCommandFieldStopsAt255)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    QLineEdit* comm = EditOf(*dialog, "IDC_COMM_NO");
    comm->clear();
    QTest::keyClicks(comm, u"a1-2 b3."_s);
    EXPECT_EQ(comm->text(), u"123"_s);

    QLineEdit* command = EditOf(*dialog, "IDC_CUSTOM_TEXT");
    QTest::keyClicks(command, QString(300, u'7'));
    EXPECT_EQ(command->text().size(), 255);
}

struct ExchangeCase
{
    const char* what;
    QString comm, device, zone;
    bool passes;
    QString prompt;
    int commNo, deviceNo, zoneNo;
    QString commandText;
};

const QString kRange239 = u"请输入一个介于 0 和 239 之间的整数。"_s;
const QString kRange8 = u"请输入一个介于 0 和 8 之间的整数。"_s;
const QString kInteger = u"请输入一个整数。"_s;

void PrintTo(const ExchangeCase& c, std::ostream* os)
{
    *os << c.what;
}

class DataExchange : public ::testing::TestWithParam<ExchangeCase>
{
};

TEST_P(DataExchange, StopsAtTheFirstFailingField)
{
    const ExchangeCase& c = GetParam();
    MessageRecorder recorder;
    CHostCenterDlg dialog;
    dialog.m_commNo = 11;
    dialog.m_deviceNo = 12;
    dialog.m_zoneNo = 3;
    dialog.m_commandText = u"kept"_s;
    SetText(dialog, "IDC_COMM_NO", c.comm);
    SetText(dialog, "IDC_DEVICE_NO", c.device);
    SetText(dialog, "IDC_ZONE_NO", c.zone);
    SetText(dialog, "IDC_CUSTOM_TEXT", u"0b 00"_s);

    EXPECT_EQ(dialog.UpdateData(true), c.passes);
    EXPECT_EQ(recorder.messages, c.prompt.isEmpty() ? QStringList() : QStringList{c.prompt});
    EXPECT_EQ(dialog.m_commNo, c.commNo);
    EXPECT_EQ(dialog.m_deviceNo, c.deviceNo);
    EXPECT_EQ(dialog.m_zoneNo, c.zoneNo);
    EXPECT_EQ(dialog.m_commandText, c.commandText);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DataExchange,
    ::testing::Values(
        ExchangeCase{"upper_bounds", u"239"_s, u"239"_s, u"8"_s, true, {}, 239, 239, 8, u"0b 00"_s},
        ExchangeCase{"lower_bounds", u"0"_s, u"0"_s, u"0"_s, true, {}, 0, 0, 0, u"0b 00"_s},
        ExchangeCase{"blanks_around", u" 7 "_s, u"\t8"_s, u"1  "_s, true, {}, 7, 8, 1, u"0b 00"_s},
        ExchangeCase{"communicator_240", u"240"_s, u"5"_s, u"5"_s, false, kRange239, 240, 12, 3, u"kept"_s},
        ExchangeCase{"device_240", u"5"_s, u"240"_s, u"5"_s, false, kRange239, 5, 240, 3, u"kept"_s},
        ExchangeCase{"zone_9", u"5"_s, u"5"_s, u"9"_s, false, kRange8, 5, 5, 9, u"kept"_s},
        ExchangeCase{"empty_communicator", u""_s, u"5"_s, u"5"_s, false, kInteger, 11, 12, 3, u"kept"_s},
        ExchangeCase{"empty_zone", u"5"_s, u"6"_s, u""_s, false, kInteger, 5, 6, 3, u"kept"_s},
        ExchangeCase{"trailing_garbage", u"1x"_s, u"5"_s, u"5"_s, false, kInteger, 11, 12, 3, u"kept"_s},
        ExchangeCase{"inner_blank", u"1 2"_s, u"5"_s, u"5"_s, false, kInteger, 11, 12, 3, u"kept"_s},
        ExchangeCase{"negative", u"-1"_s, u"5"_s, u"5"_s, false, kRange239, -1, 12, 3, u"kept"_s},
        ExchangeCase{"beyond_int", u"99999999999"_s, u"5"_s, u"5"_s, false, kRange239, INT_MAX, 12, 3,
                     u"kept"_s}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(DataExchangeText, ALongerCommandFailsButStaysInTheMember)
{
    MessageRecorder recorder;
    CHostCenterDlg dialog;
    QLineEdit* command = EditOf(dialog, "IDC_CUSTOM_TEXT");
    command->setMaxLength(1000); // as a paste past the limit would need
    command->setText(QString(256, u'a'));
    EXPECT_FALSE(dialog.UpdateData(true));
    EXPECT_EQ(recorder.messages, QStringList{u"请输入不超过 255 个字符。"_s});
    EXPECT_EQ(dialog.m_commandText.size(), 256);
}

TEST(DataExchangeText, IntoTheControlsShowsTheMembersAndLimitsTheCommand)
{
    CHostCenterDlg dialog;
    dialog.m_commNo = 17;
    dialog.m_deviceNo = 238;
    dialog.m_zoneNo = 8;
    dialog.m_commandText = QString(300, u'b');
    EXPECT_TRUE(dialog.UpdateData(false));
    EXPECT_EQ(EditOf(dialog, "IDC_COMM_NO")->text(), u"17"_s);
    EXPECT_EQ(EditOf(dialog, "IDC_DEVICE_NO")->text(), u"238"_s);
    EXPECT_EQ(EditOf(dialog, "IDC_ZONE_NO")->text(), u"8"_s);
    EXPECT_EQ(EditOf(dialog, "IDC_CUSTOM_TEXT")->text().size(), 255);
}

struct ClosingCase
{
    const char* what;
    QString zone;
    const char* focus; // nullptr: the dialog itself
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    bool closes;
    QDialog::DialogCode result;
    int prompts;
};

void PrintTo(const ClosingCase& c, std::ostream* os)
{
    *os << c.what;
}

class Closing : public ::testing::TestWithParam<ClosingCase>
{
};

TEST_P(Closing, EnterRunsTheExchangeAndEscapeClosesAtOnce)
{
    const ClosingCase& c = GetParam();
    MessageRecorder recorder;
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    SetText(*dialog, "IDC_ZONE_NO", c.zone);
    QWidget* target = c.focus ? dialog->findChild<QWidget*>(QString::fromLatin1(c.focus)) : dialog.get();
    target->setFocus();
    QTest::keyClick(target, c.key, c.modifiers);
    EXPECT_EQ(!dialog->isVisible(), c.closes);
    if (c.closes) {
        EXPECT_EQ(dialog->result(), c.result);
    }
    EXPECT_EQ(recorder.messages.size(), c.prompts);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, Closing,
    ::testing::Values(
        ClosingCase{"enter_in_command_field",
                    u"1"_s,
                    "IDC_CUSTOM_TEXT",
                    Qt::Key_Return,
                    {},
                    true,
                    QDialog::Accepted,
                    0},
        ClosingCase{
            "enter_with_zone_9", u"9"_s, "IDC_CUSTOM_TEXT", Qt::Key_Return, {}, false, QDialog::Rejected, 1},
        ClosingCase{"keypad_enter_empty_zone", u""_s, "IDC_COMM_NO", Qt::Key_Enter, Qt::KeypadModifier, false,
                    QDialog::Rejected, 1},
        ClosingCase{"enter_on_the_window", u"1"_s, nullptr, Qt::Key_Return, {}, true, QDialog::Accepted, 0},
        ClosingCase{
            "enter_in_event_list", u"2"_s, "IDC_EVENT_TYPE", Qt::Key_Return, {}, true, QDialog::Accepted, 0},
        ClosingCase{
            "enter_in_sent_list", u"3"_s, "IDC_SENT_LIST", Qt::Key_Return, {}, true, QDialog::Accepted, 0},
        ClosingCase{
            "escape_with_zone_9", u"9"_s, "IDC_CUSTOM_TEXT", Qt::Key_Escape, {}, true, QDialog::Rejected, 0},
        ClosingCase{
            "escape_with_empty_zone", u""_s, nullptr, Qt::Key_Escape, {}, true, QDialog::Rejected, 0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(ClosingBy, EnterOnAPushButtonPressesItInstead)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    FrameListView* sent = ListOf(*dialog, "IDC_SENT_LIST");
    sent->AppendLine(" 08 00 01 00 00 00 01 0A");
    QPushButton* clear = ButtonOf(*dialog, "IDC_CLEAR_SENT");
    clear->setFocus();
    QTest::keyClick(clear, Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(sent->count(), 0u);
}

TEST(ClosingBy, TheCloseBoxAndTheMenuCloseWhateverTheFieldsHold)
{
    MessageRecorder recorder;
    for (const bool viaMenu : {false, true}) {
        const auto dialog = OpenConsole();
        ASSERT_TRUE(dialog);
        SetText(*dialog, "IDC_COMM_NO", u""_s);
        if (viaMenu) {
            const auto actions = dialog->SystemMenu()->actions();
            const auto close = std::find_if(actions.begin(), actions.end(),
                                            [](QAction* a) { return a->data().toUInt() == SC_CLOSE; });
            ASSERT_NE(close, actions.end());
            (*close)->trigger();
        } else {
            dialog->close();
        }
        EXPECT_FALSE(dialog->isVisible()) << viaMenu;
        EXPECT_EQ(dialog->result(), QDialog::Rejected) << viaMenu;
    }
    EXPECT_TRUE(recorder.messages.isEmpty());
}

TEST(SystemMenu, EndsWithASeparatorAndTheAboutEntry)
{
    CHostCenterDlg dialog;
    const auto actions = dialog.SystemMenu()->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), u"关于 Veltrano(&A)..."_s);
    EXPECT_EQ(actions.back()->data().toUInt(), IDM_ABOUTBOX);
}

TEST(SystemMenu, OnlyTheHighTwelveBitsSelectTheAboutBox)
{
    const struct
    {
        unsigned command;
        bool about;
    } cases[] = {{0x0010, true},  {0x0013, true},  {0x001F, true},  {0x0000, false},
                 {0x0020, false}, {0x0110, false}, {0xF060, false}, {0xF010, false}};
    for (const auto& c : cases)
        EXPECT_EQ(IsAboutCommand(c.command), c.about) << std::hex << c.command;
}

} // namespace
