// Through the window system, as a real pointer: a right press opens the list's context menu.
#define QTEST_QPA_MOUSE_HANDLING

#include "tests/ui/ui_harness.h"
#include "ui/frame_list_view.h"
#include "ui/host_center_dlg.h"
#include "ui/qt_translations.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <gtest/gtest.h>

#include <memory>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int WAIT_MS = 5000;

QStringList ButtonTexts(const QWidget& window)
{
    QStringList texts;
    for (const QAbstractButton* button : window.findChildren<QAbstractButton*>())
        if (button->isVisible() && !button->text().isEmpty())
            texts << button->text();
    return texts;
}

// The window started on a free port and sending to itself on loopback, with Qt's translations installed
// as the program installs them.
class QtLanguageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_translator = InstallQtTranslations(*QCoreApplication::instance());
        if (m_translator == nullptr)
            GTEST_SKIP() << "qtbase_zh_CN.qm is not installed (qt6-translations-l10n)";
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        m_dialog = StartConsole();
        ASSERT_TRUE(m_dialog);
    }
    void TearDown() override
    {
        m_dialog.reset();
        if (m_translator != nullptr) {
            QCoreApplication::removeTranslator(m_translator);
            delete m_translator;
        }
    }
    QTranslator* m_translator{nullptr};
    std::unique_ptr<CHostCenterDlg> m_dialog;
};

TEST_F(QtLanguageTest, MessageBoxButtonIsChinese)
{
    SetText(*m_dialog, "IDC_CUSTOM_TEXT", u"zz"_s); // malformed: sending it answers with a message box
    QStringList buttons;
    bool sawBox = false;
    WhenModal([&](QWidget* modal) {
        sawBox = qobject_cast<QMessageBox*>(modal) != nullptr;
        buttons = ButtonTexts(*modal);
    });
    m_dialog->findChild<QPushButton*>(u"IDC_SEND_CUSTOM"_s)->click();
    EXPECT_TRUE(sawBox);
    EXPECT_EQ(buttons, QStringList{u"确定"_s});
}

TEST_F(QtLanguageTest, SaveDialogOfAListIsChinese)
{
    m_dialog->findChild<QComboBox*>(u"IDC_EVENT_TYPE"_s)->setCurrentIndex(0);
    m_dialog->findChild<QPushButton*>(u"IDC_SEND_EVENT"_s)->click();
    auto* sent = m_dialog->findChild<FrameListView*>(u"IDC_SENT_LIST"_s);
    ASSERT_TRUE(QTest::qWaitFor([sent] { return sent->count() > 0; }, WAIT_MS));

    QTest::mouseClick(sent->viewport(), Qt::RightButton, {}, {40, sent->RowHeight() / 2});
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->objectName(), u"listMenu"_s);
    QAction* saveText = nullptr;
    for (QAction* action : menu->actions())
        if (action->text() == u"保存为文本(&T)..."_s)
            saveText = action;
    ASSERT_NE(saveText, nullptr);
    menu->close();

    QString title;
    QStringList labels;
    QStringList buttons;
    bool sawFileDialog = false;
    WhenModal([&](QWidget* modal) {
        sawFileDialog = qobject_cast<QFileDialog*>(modal) != nullptr;
        title = modal->windowTitle();
        for (const char* name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"})
            if (const auto* label = modal->findChild<QLabel*>(QString::fromLatin1(name)))
                labels << label->text();
        if (const auto* box = modal->findChild<QDialogButtonBox*>(u"buttonBox"_s))
            for (const QAbstractButton* button : box->buttons())
                buttons << button->text();
    });
    saveText->trigger();
    EXPECT_TRUE(sawFileDialog);
    EXPECT_EQ(title, u"保存为文本"_s); // the window's own text, as it was
    EXPECT_EQ(labels, (QStringList{u"查找范围："_s, u"文件名称(&N)："_s, u"文件类型："_s}))
        << labels.join(u'|').toStdString();
    EXPECT_EQ(buttons, (QStringList{u"保存(&S)"_s, u"取消"_s})) << buttons.join(u'|').toStdString();
}

} // namespace
