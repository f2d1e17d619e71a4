// Renders the console into a PNG after a short loopback session: veltrano-screenshot <file.png>

#include "ui/host_center_dlg.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

void SetText(QWidget& dialog, const QString& name, const QString& text)
{
    if (auto* edit = dialog.findChild<QLineEdit*>(name))
        edit->setText(text);
}

void Click(QWidget& dialog, const QString& name)
{
    if (auto* button = dialog.findChild<QPushButton*>(name))
        button->click();
}

void ProcessEventsFor(int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: veltrano-screenshot <file.png>\n");
        return 2;
    }
    CHostCenterDlg dialog;
    // Replies must never leave the machine: the dialog talks to itself on loopback.
    SetText(dialog, u"IDC_DEST_IP"_s, u"127.0.0.1"_s);
    SetText(dialog, u"IDC_SOURCE_PORT"_s, u"0"_s);
    dialog.show();
    Click(dialog, u"IDC_START"_s);
    const int port = dialog.Engine().ListeningPort();
    if (port != 0) {
        SetText(dialog, u"IDC_SOURCE_PORT"_s, QString::number(port));
        SetText(dialog, u"IDC_DEST_PORT"_s, QString::number(port));
        auto* events = dialog.findChild<QComboBox*>(u"IDC_EVENT_TYPE"_s);
        for (const int row : {0, 3, 6}) {
            events->setCurrentIndex(row);
            Click(dialog, u"IDC_SEND_EVENT"_s);
            ProcessEventsFor(50);
        }
        events->setCurrentIndex(3);
    }
    ProcessEventsFor(200);
    const bool saved = dialog.grab().save(QString::fromLocal8Bit(argv[1]), "PNG");
    return saved ? 0 : 1;
}
