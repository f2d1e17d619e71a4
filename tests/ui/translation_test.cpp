#include "engine/messages.h"
#include "protocol/frame_decoder.h"
#include "tests/support/hex_text.h"
#include "ui/about_dlg.h"
#include "ui/core_texts.h"
#include "ui/data_exchange.h"
#include "ui/dialog_template.h"
#include "ui/frame_list_view.h"
#include "ui/host_center_dlg.h"
#include "ui/qt_translations.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

// CJK ideographs and full-width punctuation: what no English text may hold.
bool HasChinese(const QString& text)
{
    static const QRegularExpression chinese(u"[\\x{3000}-\\x{303F}\\x{3400}-\\x{9FFF}\\x{FF00}-\\x{FFEF}]"_s);
    return text.contains(chinese);
}

// Puts the window back to Chinese whatever a test did.
class LanguageGuard final
{
public:
    LanguageGuard() = default;
    ~LanguageGuard()
    {
        SetUiLanguage(UiLanguage::Chinese);
        QCoreApplication::processEvents();
    }
    Q_DISABLE_COPY_MOVE(LanguageGuard)
};

// Every text a widget tree shows or tells assistive technology: captions, titles, items, menus, names.
QStringList TextsOf(const QWidget& root)
{
    QStringList texts{root.windowTitle(), root.accessibleName(), root.accessibleDescription(),
                      root.toolTip()};
    for (const QWidget* widget : root.findChildren<QWidget*>()) {
        texts << widget->windowTitle() << widget->toolTip() << widget->accessibleName()
              << widget->accessibleDescription();
        if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
            texts << button->text();
        if (const auto* label = qobject_cast<const QLabel*>(widget))
            texts << label->text();
        if (const auto* group = qobject_cast<const QGroupBox*>(widget))
            texts << group->title();
        if (const auto* combo = qobject_cast<const QComboBox*>(widget))
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
    }
    for (const QAction* action : root.findChildren<QAction*>())
        // Each language keeps its own name in the switch.
        if (action->objectName() != u"languageChinese"_s)
            texts << action->text() << action->toolTip();
    return texts;
}

QStringList ChineseAmong(const QStringList& texts)
{
    QStringList found;
    for (const QString& text : texts)
        if (HasChinese(text))
            found << text;
    return found;
}

QAction* MenuAction(const CHostCenterDlg& dialog, const char* name)
{
    return dialog.SystemMenu()->findChild<QAction*>(QString::fromLatin1(name));
}

// clang-format off
// Frames that take every branch of the decoding and the tooltip.
const char* const FRAMES[] = {
    " 0C 00 01 00 00 00 02 01 11 00 00 21", // status: zones, flags, checksum
    " 08 00 F1 00 05 00 82 FF",             // acknowledgement: reserved, bad checksum, findings
    " 12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00", // debug: no checksum
    " 09 00 01 00 00 00 03 01 0E",          // fault
    " 0B 00 02 00 00 00 0F 41 01 00 5E",    // unknown command
    " 0D 00 01 00 00 00 02 01 11 00 00 21", // checksum missing
    " 08 00",                               // short
};
// clang-format on

TEST(Language, TheEnvironmentAsksForEnglishAndNothingElseDoes)
{
    const struct
    {
        QString value;
        UiLanguage language;
    } cases[] = {
        {u"en"_s, UiLanguage::English},    {u"EN"_s, UiLanguage::English},
        {u" en "_s, UiLanguage::English},  {u"en_US.UTF-8"_s, UiLanguage::English},
        {u"en-GB"_s, UiLanguage::English}, {u""_s, UiLanguage::Chinese},
        {u"zh_CN"_s, UiLanguage::Chinese}, {u"english"_s, UiLanguage::Chinese},
        {u"fr"_s, UiLanguage::Chinese},    {u"zh_CN.UTF-8"_s, UiLanguage::Chinese},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LanguageFromName(c.value), c.language) << c.value.toStdString();
}

// LANG=en_US.UTF-8 and an English default locale change nothing: the window starts Chinese, byte for byte.
TEST(Language, ChineseIsTheDefaultInAnEnglishLocale)
{
    LanguageGuard guard;
    qputenv("LANG", "en_US.UTF-8");
    qputenv("LC_ALL", "en_US.UTF-8");
    qunsetenv("VELTRANO_LANGUAGE");
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ASSERT_TRUE(SetUiLanguage(LanguageFromEnvironment()));
    CHostCenterDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), u"主机/中心模拟器"_s);
    for (const ControlTemplate& control : MainTemplateControls()) {
        const QWidget* widget = dialog.findChild<QWidget*>(QString::fromLatin1(control.name));
        QString shown;
        if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
            shown = button->text();
        else if (const auto* label = qobject_cast<const QLabel*>(widget))
            shown = label->text();
        else if (const auto* group = qobject_cast<const QGroupBox*>(widget))
            shown = group->title();
        else
            continue;
        EXPECT_EQ(shown.toUtf8(), QByteArray(control.caption)) << control.name;
    }
    EXPECT_EQ(SourcePortEmptyMessage(), u"源端口不能为空"_s);
    EXPECT_EQ(RangePrompt(0, 8), u"请输入一个介于 0 和 8 之间的整数。"_s);
    QLocale::setDefault(QLocale::c());
}

TEST(Language, TheEnglishWindowShowsNoChineseInAnyTextBoxMenuOrDecoding)
{
    LanguageGuard guard;
    ASSERT_TRUE(SetUiLanguage(UiLanguage::English));
    CHostCenterDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), u"Alarm panel and centre simulator"_s);
    EXPECT_EQ(ChineseAmong(TextsOf(dialog)), QStringList{});

    CAboutDlg about(&dialog);
    EXPECT_EQ(ChineseAmong(TextsOf(about)), QStringList{});

    // The lines' tooltips with their decodings and pairings, and the lists' menus.
    auto* sent = dialog.findChild<FrameListView*>(u"IDC_SENT_LIST"_s);
    auto* received = dialog.findChild<FrameListView*>(u"IDC_RECV_LIST"_s);
    QStringList texts;
    for (const char* hex : FRAMES) {
        const std::vector<std::uint8_t> bytes = BytesOfLine(QString::fromLatin1(hex));
        sent->AppendFrame({bytes, 0, {}, 0});
        sent->AppendFrame({bytes, 0, {}, 111}); // a send that failed
        received->AppendFrame({bytes, 0, {}, 0}, LinePairing{sent->Store().FirstSerial(), 1500});
        texts << TranslatedDescription(DecodeFrame(bytes));
    }
    for (const FrameListView* view : {sent, received})
        for (std::size_t row = 0; row < view->count(); ++row)
            texts << view->ToolTip(row);
    for (FrameListView* view : {sent, received}) {
        view->setFocus();
        QTest::keyClick(view, Qt::Key_F10, Qt::ShiftModifier);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        for (const QAction* action : menu->actions())
            texts << action->text();
        menu->close();
        texts << view->CountLines();
    }
    // The messages, the data exchange's prompts and the names of the events.
    texts << SourcePortEmptyMessage() << DeviceAddressRangeMessage() << DestinationInvalidMessage()
          << CommandFormatMessage() << SourcePortOpenFailedMessage() << IntegerPrompt() << RangePrompt(0, 239)
          << MaxCharsPrompt(255) << TranslatedEventName(-1);
    EXPECT_EQ(ChineseAmong(texts), QStringList{});
    EXPECT_EQ(TranslatedDescription(DecodeFrame(BytesOfLine(QString::fromLatin1(FRAMES[0])))),
              u"Command: Status (0x02)\n"
              u"Length byte: 12  datagram: 12 bytes\n"
              u"Comm. no.: 0  device no.: 1\n"
              u"Zone alarm: 1\n"
              u"Device flags: disarmed, mains absent\n"
              u"Zone disarmed: none\n"
              u"Checksum: correct (0x21)"_s);
}

// The companion's decoding is the decoder's own; the window in Chinese shows exactly that.
TEST(Language, TheChineseDecodingIsTheDecodersByteForByte)
{
    for (const char* hex : FRAMES) {
        const DecodedFrame frame = DecodeFrame(BytesOfLine(QString::fromLatin1(hex)));
        EXPECT_EQ(TranslatedDescription(frame).toStdString(), DescribeFrameZh(frame)) << hex;
    }
}

TEST(Language, TheMenuSwitchRetranslatesTheOpenWindowAndAboutBoxAndQtsOwnTexts)
{
    LanguageGuard guard;
    ASSERT_TRUE(SetUiLanguage(UiLanguage::Chinese));
    CHostCenterDlg dialog;
    auto* events = dialog.findChild<QComboBox*>(u"IDC_EVENT_TYPE"_s);
    events->setCurrentIndex(3);
    dialog.show();
    CAboutDlg about(&dialog);
    about.show();
    ASSERT_TRUE(MenuAction(dialog, "languageChinese")->isChecked());
    const auto okOfAMessageBox = [] {
        QMessageBox box(QMessageBox::NoIcon, u"Veltrano"_s, u"-"_s, QMessageBox::Ok);
        return box.button(QMessageBox::Ok)->text();
    };
    const QString chineseOk = okOfAMessageBox();

    MenuAction(dialog, "languageEnglish")->trigger();
    auto* start = dialog.findChild<QPushButton*>(u"IDC_START"_s);
    QTRY_COMPARE(start->text(), u"Start"_s);
    EXPECT_EQ(dialog.findChild<QPushButton*>(u"IDC_STOP"_s)->text(), u"Stop"_s);
    EXPECT_EQ(dialog.windowTitle(), u"Alarm panel and centre simulator"_s);
    EXPECT_EQ(dialog.findChild<QLabel*>(u"sentListLabel"_s)->text(), u"Sent"_s);
    EXPECT_EQ(dialog.findChild<QPushButton*>(u"IDC_SEND_EVENT"_s)->text(), u"Send"_s);
    EXPECT_EQ(events->itemText(0), u"Device online"_s);
    EXPECT_EQ(events->currentIndex(), 3);
    EXPECT_EQ(dialog.findChild<QPushButton*>(u"IDC_AUTO_SEND"_s)->accessibleDescription(),
              u"Automatic sending"_s);
    EXPECT_EQ(about.windowTitle(), u"About Veltrano"_s);
    EXPECT_EQ(about.findChild<QPushButton*>(u"IDOK"_s)->text(), u"OK"_s);
    EXPECT_EQ(ChineseAmong(TextsOf(dialog)), QStringList{});
    EXPECT_EQ(ChineseAmong(TextsOf(about)), QStringList{});
    EXPECT_TRUE(MenuAction(dialog, "languageEnglish")->isChecked());
    EXPECT_EQ(okOfAMessageBox(), u"OK"_s);

    MenuAction(dialog, "languageChinese")->trigger();
    QTRY_COMPARE(start->text(), u"开始"_s);
    EXPECT_EQ(dialog.windowTitle(), u"主机/中心模拟器"_s);
    EXPECT_EQ(dialog.findChild<QLabel*>(u"sentListLabel"_s)->text(), u"发送"_s);
    EXPECT_EQ(events->itemText(0), u"设备在线命令"_s);
    EXPECT_EQ(about.windowTitle(), u"关于 Veltrano"_s);
    EXPECT_EQ(about.findChild<QPushButton*>(u"IDOK"_s)->text(), u"确定"_s);
    EXPECT_EQ(dialog.SystemMenu()->actions().back()->text(), u"关于 Veltrano(&A)..."_s);
    EXPECT_EQ(okOfAMessageBox(), chineseOk);
}

} // namespace
