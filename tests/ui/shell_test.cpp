#include "tests/ui/dialog_test_support.h"
#include "ui/about_dlg.h"
#include "ui/host_center_app.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(Application, RunsTheConsoleModallyAndEndsWithExitCodeZero)
{
    bool sawConsole = false;
    WhenModal([&](QWidget* modal) {
        sawConsole = qobject_cast<CHostCenterDlg*>(modal) != nullptr;
        QTest::keyClick(modal, Qt::Key_Escape);
    });
    CHostCenterApp app;
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(app.ExitInstance(), 0);
    EXPECT_TRUE(sawConsole);
}

TEST(AboutBox, IsTheLastMenuEntryAfterASeparatorAndOpensModally)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    const auto actions = dialog->SystemMenu()->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), u"关于 Veltrano(&A)..."_s);

    QString title;
    QStringList lines;
    bool okIsDefault = false;
    WhenModal([&](QWidget* modal) {
        auto* about = qobject_cast<CAboutDlg*>(modal);
        if (about == nullptr)
            return;
        title = about->windowTitle();
        for (const QLabel* label : about->findChildren<QLabel*>())
            lines << (label->text().isEmpty() && !label->pixmap().isNull() ? u"<icon>"_s : label->text());
        QPushButton* ok = about->findChild<QPushButton*>(u"IDOK"_s);
        okIsDefault = ok->isDefault() && ok->text() == u"确定"_s;
        ok->click();
    });
    actions.back()->trigger();

    EXPECT_EQ(title, u"关于 Veltrano"_s);
    EXPECT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines.contains(u"<icon>"_s));
    EXPECT_TRUE(lines.contains(u"Veltrano 2.0 版"_s));
    EXPECT_TRUE(okIsDefault);
    EXPECT_TRUE(dialog->isVisible());
}

TEST(MessageBox, ARealBoxIsModalWithOkOnly)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    SetText(*dialog, "IDC_SOURCE_PORT", u""_s);
    QString text;
    bool okOnly = false;
    WhenModal([&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            text = box->text();
            okOnly = box->standardButtons() == QMessageBox::Ok;
            box->button(QMessageBox::Ok)->click();
        }
    });
    Click(*dialog, "IDC_START");
    EXPECT_EQ(text, u"源端口不能为空"_s);
    EXPECT_TRUE(okOnly);
}

} // namespace
