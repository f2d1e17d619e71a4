#include "book/panel_book.h"
#include "engine/host_center_engine.h"
#include "engine/messages.h"
#include "protocol/frame_decoder.h"
#include "tests/support/hex_text.h"
#include "tests/support/recording_console.h"
#include "tests/ui/ui_harness.h"
#include "ui/about_dlg.h"
#include "ui/core_texts.h"
#include "ui/data_exchange.h"
#include "ui/dialog_template.h"
#include "ui/frame_list_view.h"
#include "ui/host_center_dlg.h"
#include "ui/panel_view.h"
#include "ui/qt_translations.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTabWidget>
#include <QTableView>
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
        if (const auto* edit = qobject_cast<const QLineEdit*>(widget))
            texts << edit->placeholderText();
        if (const auto* spin = qobject_cast<const QSpinBox*>(widget))
            texts << spin->text() << spin->suffix();
        if (const auto* tabs = qobject_cast<const QTabWidget*>(widget))
            for (int i = 0; i < tabs->count(); ++i)
                texts << tabs->tabText(i);
        if (const auto* table = qobject_cast<const QTableView*>(widget)) {
            const QAbstractItemModel& model = *table->model();
            for (int column = 0; column < model.columnCount(); ++column)
                texts << model.headerData(column, Qt::Horizontal).toString() << ColumnTexts(model, column);
        }
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

// The texts of a window that do not fit where they are drawn: labels, push buttons and group box titles
// against their rectangles, a drop-down's items against its field, table headers and cells against their
// columns.
std::string CutTexts(const QWidget& root)
{
    QStringList cut;
    const auto check = [&cut](const QString& text, int needed, int room) {
        if (needed > room)
            cut << u"%1 (%2 > %3)"_s.arg(text).arg(needed).arg(room);
    };
    for (const QWidget* widget : root.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&root))
            continue;
        const QFontMetrics metrics(widget->font());
        if (const auto* label = qobject_cast<const QLabel*>(widget); label && !label->wordWrap())
            check(label->text(), metrics.horizontalAdvance(label->text()), label->contentsRect().width());
        if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            check(button->text(), metrics.horizontalAdvance(button->text()),
                  button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width());
        }
        if (const auto* group = qobject_cast<const QGroupBox*>(widget)) {
            QStyleOptionGroupBox option;
            option.initFrom(group);
            option.text = group->title();
            option.subControls = QStyle::SC_GroupBoxLabel;
            const QRect title =
                group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
            check(group->title(), std::max(title.right() + 1, metrics.horizontalAdvance(group->title())),
                  group->width());
        }
        if (const auto* combo = qobject_cast<const QComboBox*>(widget)) { // each item as the current one
            QStyleOptionComboBox option;
            option.initFrom(combo);
            const QRect field =
                combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
            for (int item = 0; item < combo->count(); ++item)
                check(combo->itemText(item), metrics.horizontalAdvance(combo->itemText(item)), field.width());
        }
        if (const auto* table = qobject_cast<const QTableView*>(widget)) {
            const QHeaderView* header = table->horizontalHeader();
            const QAbstractItemModel& model = *table->model();
            QStyleOptionViewItem option;
            option.initFrom(table);
            const int grid = table->showGrid() ? 1 : 0;
            for (int column = 0; column < model.columnCount(); ++column) {
                check(model.headerData(column, Qt::Horizontal).toString(), header->sectionSizeHint(column),
                      header->sectionSize(column));
                for (int row = 0; row < model.rowCount(); ++row)
                    check(model.index(row, column).data().toString(),
                          table->itemDelegate()->sizeHint(option, model.index(row, column)).width(),
                          header->sectionSize(column) - grid);
            }
        }
    }
    return cut.join(u'\n').toStdString();
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

// Every caption of the console, the About box and the panel view fits where it is drawn at the windows'
// default sizes, in either language: the template's rectangles are fixed, so its English words must fit.
TEST(Language, EveryTextFitsWhereItIsDrawnInBothLanguages)
{
    LanguageGuard guard;
    for (const UiLanguage language : {UiLanguage::Chinese, UiLanguage::English}) {
        SCOPED_TRACE(LanguageName(language).toStdString());
        ASSERT_TRUE(SetUiLanguage(language));
        CHostCenterDlg dialog;
        CAboutDlg about(&dialog);
        RecordingConsole console;
        CHostCenterEngine engine{console};
        PanelView panels(engine);
        for (QWidget* window : std::initializer_list<QWidget*>{&dialog, &about, &panels}) {
            window->show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        }
        // The widest a row gets: in alarm (bold) in every zone, every flag, a fault, the longest address.
        const auto now = std::chrono::steady_clock::now();
        engine.Book().Hear({0x7FFFFFFE, 65535}, DecodeFrame(StatusFrame(239, 239, {0xFF, 0xFF, 0xFF, 0xFF})),
                           now, 4'102'444'799'999'999);
        engine.Book().Hear({0x7FFFFFFE, 65535}, DecodeFrame(BytesOfLine(u"09 EF EF 00 00 00 03 01 FF"_s)),
                           now, 4'102'444'799'999'999);
        panels.Refresh();
        ASSERT_GT(panels.findChild<QTableView*>(u"eventLog"_s)->model()->rowCount(), 8);
        EXPECT_EQ(CutTexts(dialog), "");
        EXPECT_EQ(CutTexts(about), "");
        EXPECT_EQ(CutTexts(panels), "");
        panels.findChild<QTabWidget*>(u"panelTabs"_s)->setCurrentIndex(1);
        EXPECT_EQ(CutTexts(panels), "");
    }
}

TEST(Language, TheMenuSwitchRetranslatesTheOpenWindowsAndQtsOwnTexts)
{
    LanguageGuard guard;
    ASSERT_TRUE(SetUiLanguage(UiLanguage::Chinese));
    const auto console = StartConsole();
    ASSERT_TRUE(console);
    CHostCenterDlg& dialog = *console;
    auto* events = dialog.findChild<QComboBox*>(u"IDC_EVENT_TYPE"_s);
    events->setCurrentIndex(3);
    // The panel view open with a panel in alarm, heard from the console itself.
    Click(dialog, "IDC_SEND_EVENT");
    dialog.OpenPanelView();
    const auto rows = [&dialog](const char* table) {
        return dialog.PanelViewWindow()
            ->findChild<QTableView*>(QString::fromLatin1(table))
            ->model()
            ->rowCount();
    };
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return rows("panelTable") == 1 && rows("eventLog") == 1 &&
                   Lines(dialog, "IDC_SENT_LIST").size() == 2 && Lines(dialog, "IDC_RECV_LIST").size() == 2;
        },
        5000));
    CAboutDlg about(&dialog);
    about.show();
    const QStringList chinese = TextsOf(dialog);
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
    EXPECT_TRUE(MenuAction(dialog, "languageEnglish")->isChecked());
    EXPECT_EQ(okOfAMessageBox(), u"OK"_s);

    MenuAction(dialog, "languageChinese")->trigger();
    QTRY_COMPARE(start->text(), u"开始"_s);
    // Every text as it was: the About box and the panel view too, children of the console.
    EXPECT_EQ(TextsOf(dialog), chinese);
    EXPECT_EQ(okOfAMessageBox(), chineseOk);
}

} // namespace
