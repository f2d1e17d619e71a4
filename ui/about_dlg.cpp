#include "ui/about_dlg.h"

#include "ui/dialog_template.h"

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
    setWindowTitle(QString::fromUtf8("关于 Veltrano"));
    setFont(DialogFont());
    setWindowIcon(ApplicationIcon());
    const DialogBaseUnits base = BaseUnitsOf(font());

    // A static icon control takes the icon's own size.
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(ApplicationIcon().pixmap(32, 32));
    icon->setGeometry(QRect(DialogUnitsToPixels(QRect(11, 17, 20, 20), base).topLeft(), QSize(32, 32)));

    auto* version = new QLabel(QString::fromUtf8("Veltrano 2.0 版"), this);
    version->setObjectName(QStringLiteral("aboutVersion"));
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(DialogUnitsToPixels(QRect(40, 10, 119, 8), base));

    auto* copyright = new QLabel(QString::fromUtf8("版权所有 (C) 2026"), this);
    copyright->setObjectName(QStringLiteral("aboutCopyright"));
    copyright->setTextFormat(Qt::PlainText);
    copyright->setGeometry(DialogUnitsToPixels(QRect(40, 25, 119, 8), base));

    auto* ok = new QPushButton(QString::fromUtf8("确定"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(DialogUnitsToPixels(QRect(178, 7, 50, 14), base));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus();

    setFixedSize(DialogUnitsToPixels(ABOUT_TEMPLATE_SIZE, base));
}

CAboutDlg::~CAboutDlg() = default;

QString AboutMenuText()
{
    return QString::fromUtf8("关于 Veltrano(&A)...");
}

QIcon ApplicationIcon()
{
    RegisterResources();
    return QIcon(QStringLiteral(":/icons/veltrano.png"));
}
