#include "engine/control_ids.h"
#include "engine/event_catalogue.h"
#include "tests/ui/dialog_test_support.h"
#include "ui/dialog_template.h"
#include "ui/frame_list_view.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ostream>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(ConsoleWindow, OpensAsAFixedIdleConsoleWithItsDefaultsAndNoFocusedControl)
{
    CHostCenterDlg dialog; // nothing is sent here, so the default destination may stay
    EXPECT_EQ(dialog.windowTitle(), u"主机/中心模拟器"_s);
    const QStringList fields{u"IDC_COMM_NO"_s,   u"IDC_DEVICE_NO"_s,   u"IDC_ZONE_NO"_s,
                             u"IDC_DEST_PORT"_s, u"IDC_SOURCE_PORT"_s, u"IDC_CUSTOM_TEXT"_s};
    QStringList texts;
    for (const QString& field : fields)
        texts << dialog.findChild<QLineEdit*>(field)->text();
    EXPECT_EQ(texts, (QStringList{u"0"_s, u"1"_s, u"1"_s, u"8015"_s, u"7015"_s, u""_s}));
    EXPECT_GE(EditOf(dialog, "IDC_DEST_IP")->text().size(), 8);
    EXPECT_EQ(EditOf(dialog, "IDC_CUSTOM_TEXT")->maxLength(), 255);
    EXPECT_EQ(ActualEnabling(dialog), ExpectedEnabling(ConsoleState::Idle));

    const auto* events = dialog.findChild<QComboBox*>(u"IDC_EVENT_TYPE"_s);
    ASSERT_EQ(events->count(), 23);
    EXPECT_EQ(events->currentIndex(), 0);
    EXPECT_EQ(events->itemText(0), u"设备在线命令"_s);
    EXPECT_EQ(events->itemText(22), u"触发恢复"_s);
    for (int i = 0; i < events->count(); ++i)
        EXPECT_EQ(events->itemText(i), EventTypeName(i)) << i;

    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(dialog.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    for (const QPushButton* button : dialog.findChildren<QPushButton*>())
        EXPECT_FALSE(button->isDefault() || button->autoDefault()) << qPrintable(button->objectName());
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(QApplication::focusWidget(), &dialog);
}

TEST(DialogUnits, ConvertWithAQuarterCharacterWidthAndAnEighthCharacterHeight)
{
    const struct
    {
        DialogBaseUnits base;
        QRect units, pixels;
    } cases[] = {
        {{6, 12}, {57, 80, 106, 14}, {86, 120, 159, 21}},
        {{8, 14}, {57, 80, 106, 14}, {114, 140, 212, 25}},
        {{8, 14}, {663, 85, 23, 14}, {1326, 149, 46, 25}},
        {{6, 12}, {0, 0, 701, 382}, {0, 0, 1052, 573}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DialogUnitsToPixels(c.units, c.base), c.pixels) << c.units.x() << "," << c.units.y();
}

TEST(DialogUnits, PlaceTheControlsByTheDialogFont)
{
    CHostCenterDlg dialog;
    const QFontMetrics metrics(dialog.font());
    const DialogBaseUnits base{metrics.averageCharWidth(), metrics.height()};
    const std::pair<const char*, QRect> placed[] = {
        {"IDC_DEST_IP", {57, 80, 106, 14}},
        {"IDC_RECV_LIST", {323, 154, 334, 217}},
        {"formatLabel", {28, 343, 152, 8}},
    };
    for (const auto& [name, units] : placed)
        EXPECT_EQ(dialog.findChild<QWidget*>(QString::fromLatin1(name))->geometry(),
                  DialogUnitsToPixels(units, base))
            << name;
    EXPECT_EQ(dialog.size(), DialogUnitsToPixels(QSize(701, 382), base));
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
    QWidget* widget = EditOf(dialog, "IDC_DEST_IP");
    for (int guard = 0; guard < 1000 && chain.size() < expected.size(); ++guard) {
        if (expected.contains(widget->objectName()) && !chain.contains(widget->objectName()))
            chain << widget->objectName();
        widget = widget->nextInFocusChain();
    }
    EXPECT_EQ(chain, expected);
}

TEST(ConsoleWindow, NumberFieldsTakeOnlyDigitsAndTheCommandFieldStopsAt255)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    QLineEdit* comm = EditOf(*dialog, "IDC_COMM_NO");
    comm->clear();
    QTest::keyClicks(comm, u"a1-2 b3."_s);
    EXPECT_EQ(comm->text(), u"123"_s);
    QTest::keyClicks(EditOf(*dialog, "IDC_CUSTOM_TEXT"), QString(300, u'7'));
    EXPECT_EQ(EditOf(*dialog, "IDC_CUSTOM_TEXT")->text().size(), 255);
}

const QString kRange239 = u"请输入一个介于 0 和 239 之间的整数。"_s;
const QString kRange8 = u"请输入一个介于 0 和 8 之间的整数。"_s;
const QString kInteger = u"请输入一个整数。"_s;
const QString kKept = u"kept"_s;
const QString kTyped = u"0b 00"_s;

struct ExchangeCase
{
    const char* what;
    QString comm, device, zone;
    QString prompt; // none: the exchange passes
    int commNo, deviceNo, zoneNo;
    QString commandText;
};

void PrintTo(const ExchangeCase& c, std::ostream* os)
{
    *os << c.what;
}

class DataExchange : public ::testing::TestWithParam<ExchangeCase>
{
};

// Before the exchange the members hold 11, 12, 3 and "kept".
TEST_P(DataExchange, StopsAtTheFirstFailingFieldAfterItsPrompt)
{
    const ExchangeCase& c = GetParam();
    MessageRecorder recorder;
    CHostCenterDlg dialog;
    dialog.m_commNo = 11;
    dialog.m_deviceNo = 12;
    dialog.m_zoneNo = 3;
    dialog.m_commandText = kKept;
    SetText(dialog, "IDC_COMM_NO", c.comm);
    SetText(dialog, "IDC_DEVICE_NO", c.device);
    SetText(dialog, "IDC_ZONE_NO", c.zone);
    SetText(dialog, "IDC_CUSTOM_TEXT", kTyped);

    EXPECT_EQ(dialog.UpdateData(true), c.prompt.isEmpty());
    EXPECT_EQ(recorder.messages, c.prompt.isEmpty() ? QStringList() : QStringList{c.prompt});
    EXPECT_EQ(std::tie(dialog.m_commNo, dialog.m_deviceNo, dialog.m_zoneNo, dialog.m_commandText),
              std::tie(c.commNo, c.deviceNo, c.zoneNo, c.commandText));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DataExchange,
    ::testing::Values(
        ExchangeCase{"upper_bounds", u"239"_s, u"239"_s, u"8"_s, {}, 239, 239, 8, kTyped},
        ExchangeCase{"blanks_around", u" 7 "_s, u"\t0"_s, u"1  "_s, {}, 7, 0, 1, kTyped},
        ExchangeCase{"communicator_240", u"240"_s, u"5"_s, u"5"_s, kRange239, 240, 12, 3, kKept},
        ExchangeCase{"device_240", u"5"_s, u"240"_s, u"5"_s, kRange239, 5, 240, 3, kKept},
        ExchangeCase{"zone_9", u"5"_s, u"5"_s, u"9"_s, kRange8, 5, 5, 9, kKept},
        ExchangeCase{"empty_communicator", u""_s, u"5"_s, u"5"_s, kInteger, 11, 12, 3, kKept},
        ExchangeCase{"empty_zone", u"5"_s, u"6"_s, u""_s, kInteger, 5, 6, 3, kKept},
        ExchangeCase{"inner_blank", u"1 2"_s, u"5"_s, u"5"_s, kInteger, 11, 12, 3, kKept},
        ExchangeCase{"negative", u"-1"_s, u"5"_s, u"5"_s, kRange239, -1, 12, 3, kKept},
        ExchangeCase{"beyond_int", u"99999999999"_s, u"5"_s, u"5"_s, kRange239, INT_MAX, 12, 3, kKept}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(DataExchangeText, ALongerCommandFailsButStaysInTheMemberAndTheWayBackCutsIt)
{
    MessageRecorder recorder;
    CHostCenterDlg dialog;
    QLineEdit* command = EditOf(dialog, "IDC_CUSTOM_TEXT");
    command->setMaxLength(1000); // as a paste past the limit would need
    command->setText(QString(256, u'a'));
    EXPECT_FALSE(dialog.UpdateData(true));
    EXPECT_EQ(recorder.messages, QStringList{u"请输入不超过 255 个字符。"_s});
    EXPECT_EQ(dialog.m_commandText.size(), 256);
    EXPECT_TRUE(dialog.UpdateData(false));
    EXPECT_EQ(command->text().size(), 255);
}

struct ClosingCase
{
    const char* what;
    QString zone;
    const char* focus; // nullptr: the dialog itself
    Qt::Key key;
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
    QTest::keyClick(target, c.key, c.key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    EXPECT_EQ(dialog->isVisible(), !c.closes);
    EXPECT_EQ(dialog->result(), c.result);
    EXPECT_EQ(recorder.messages.size(), c.prompts);
}

INSTANTIATE_TEST_SUITE_P(Keys, Closing,
                         ::testing::Values(ClosingCase{"enter_in_command_field", u"1"_s, "IDC_CUSTOM_TEXT",
                                                       Qt::Key_Return, true, QDialog::Accepted, 0},
                                           ClosingCase{"enter_with_zone_9", u"9"_s, "IDC_CUSTOM_TEXT",
                                                       Qt::Key_Return, false, QDialog::Rejected, 1},
                                           ClosingCase{"keypad_enter_empty_zone", u""_s, "IDC_COMM_NO",
                                                       Qt::Key_Enter, false, QDialog::Rejected, 1},
                                           ClosingCase{"enter_on_the_window", u"1"_s, nullptr, Qt::Key_Return,
                                                       true, QDialog::Accepted, 0},
                                           ClosingCase{"enter_in_event_list", u"2"_s, "IDC_EVENT_TYPE",
                                                       Qt::Key_Return, true, QDialog::Accepted, 0},
                                           ClosingCase{"enter_in_sent_list", u"3"_s, "IDC_SENT_LIST",
                                                       Qt::Key_Return, true, QDialog::Accepted, 0},
                                           ClosingCase{"escape_with_zone_9", u"9"_s, "IDC_CUSTOM_TEXT",
                                                       Qt::Key_Escape, true, QDialog::Rejected, 0}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(ClosingBy, EnterOnAPushButtonPressesItInstead)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    ListOf(*dialog, "IDC_SENT_LIST")->AppendLine(" 08 00 01 00 00 00 01 0A");
    ListOf(*dialog, "IDC_RECV_LIST")->AppendLine("00 ");
    QPushButton* clear = ButtonOf(*dialog, "IDC_CLEAR_SENT");
    clear->setFocus();
    QTest::keyClick(clear, Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(ListOf(*dialog, "IDC_SENT_LIST")->count(), 0u);
    EXPECT_EQ(ListOf(*dialog, "IDC_RECV_LIST")->count(), 1u); // each Clear empties its own list only
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

} // namespace
