#include "tests/ui/dialog_test_support.h"
#include "ui/about_dlg.h"
#include "ui/host_center_app.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

// Calls inside() once a modal window is up, then makes sure it is gone.
void WhenModal(std::function<void(QWidget*)> inside)
{
    auto* poll = new QTimer(qApp);
    poll->setInterval(10);
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, inside, tries] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr && ++*tries < 500)
            return;
        poll->stop();
        poll->deleteLater();
        if (modal == nullptr)
            return;
        inside(modal);
        if (QApplication::activeModalWidget() == modal)
            modal->close();
    });
    poll->start();
}

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

TEST(AboutBox, OpensModallyFromTheMenuEntryAndClosesWithOk)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    QString title;
    QStringList lines;
    bool okIsDefault = false;
    bool hasIcon = false;
    WhenModal([&](QWidget* modal) {
        auto* about = qobject_cast<CAboutDlg*>(modal);
        if (about == nullptr)
            return;
        title = about->windowTitle();
        for (const QLabel* label : about->findChildren<QLabel*>()) {
            if (label->text().isEmpty())
                hasIcon = !label->pixmap().isNull();
            else
                lines << label->text();
        }
        QPushButton* ok = about->findChild<QPushButton*>(u"IDOK"_s);
        okIsDefault = ok->isDefault() && ok->text() == u"确定"_s;
        ok->click();
    });
    dialog->SystemMenu()->actions().back()->trigger();

    EXPECT_EQ(title, u"关于 Veltrano"_s);
    EXPECT_TRUE(lines.contains(u"Veltrano 2.0 版"_s));
    EXPECT_EQ(lines.size(), 2);
    EXPECT_TRUE(okIsDefault);
    EXPECT_TRUE(hasIcon);
    EXPECT_TRUE(dialog->isVisible());
}

TEST(MessageBox, ARealBoxIsModalWithOkOnlyAndShowsTheText)
{
    const auto dialog = OpenConsole();
    ASSERT_TRUE(dialog);
    SetText(*dialog, "IDC_SOURCE_PORT", u""_s);
    QString text;
    bool okOnly = false;
    WhenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr)
            return;
        text = box->text();
        okOnly = box->standardButtons() == QMessageBox::Ok;
        box->button(QMessageBox::Ok)->click();
    });
    ButtonOf(*dialog, "IDC_START")->click();
    EXPECT_EQ(text, u"源端口不能为空"_s);
    EXPECT_TRUE(okOnly);
}

} // namespace
