#include "ui/about_dlg.h"

#include "ui/dialog_template.h"

#include <QCoreApplication>
#include <QEvent>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

// Resources of a static library register only when asked to; the macro must sit at global scope.
static void RegisterResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered);
}

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setFont(DialogFont());
    setWindowIcon(ApplicationIcon());
    const DialogBaseUnits base = BaseUnitsOf(font());

    // A static icon control takes the icon's own size.
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(ApplicationIcon().pixmap(32, 32));
    icon->setAccessibleName(QStringLiteral("Veltrano")); // an unnamed image says nothing to a screen reader
    icon->setGeometry(QRect(DialogUnitsToPixels(QRect(11, 17, 20, 20), base).topLeft(), QSize(32, 32)));

    auto* version = new QLabel(this);
    version->setObjectName(QStringLiteral("aboutVersion"));
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(DialogUnitsToPixels(QRect(40, 10, 119, 8), base));

    auto* copyright = new QLabel(this);
    copyright->setObjectName(QStringLiteral("aboutCopyright"));
    copyright->setTextFormat(Qt::PlainText);
    copyright->setGeometry(DialogUnitsToPixels(QRect(40, 25, 119, 8), base));

    auto* ok = new QPushButton(this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(DialogUnitsToPixels(QRect(178, 7, 50, 14), base));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus();

    setFixedSize(DialogUnitsToPixels(ABOUT_TEMPLATE_SIZE, base));
    Retranslate();
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        Retranslate();
}

void CAboutDlg::Retranslate()
{
    setWindowTitle(tr("关于 Veltrano"));
    findChild<QLabel*>(QStringLiteral("aboutVersion"))->setText(tr("Veltrano 2.0 版"));
    findChild<QLabel*>(QStringLiteral("aboutCopyright"))->setText(tr("版权所有 (C) 2026"));
    findChild<QPushButton*>(QStringLiteral("IDOK"))->setText(tr("确定"));
}

QString AboutMenuText()
{
    return QCoreApplication::translate("CAboutDlg", "关于 Veltrano(&A)...");
}

QIcon ApplicationIcon()
{
    RegisterResources();
    return QIcon(QStringLiteral(":/icons/veltrano.png"));
}
