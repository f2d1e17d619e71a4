// Renders the console into a PNG after a short loopback session: veltrano-screenshot <file.png>

#include "engine/control_ids.h"
#include "ui/host_center_dlg.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPixmap>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

namespace {

void SetText(QWidget& dialog, const char* name, const QString& text)
{
    if (auto* edit = dialog.findChild<QLineEdit*>(QString::fromLatin1(name)))
        edit->setText(text);
}

// Port the endpoint was bound to, host byte order; 0 when it is not bound.
int BoundPort(int socket)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (socket < 0 || ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
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
    SetText(dialog, "IDC_DEST_IP", QStringLiteral("127.0.0.1"));
    SetText(dialog, "IDC_SOURCE_PORT", QStringLiteral("0"));
    dialog.show();
    dialog.OnStart();
    const int port = BoundPort(dialog.m_endpoint.GetHandle());
    if (port != 0) {
        SetText(dialog, "IDC_SOURCE_PORT", QString::number(port));
        SetText(dialog, "IDC_DEST_PORT", QString::number(port));
        auto* events = dialog.findChild<QComboBox*>(QStringLiteral("IDC_EVENT_TYPE"));
        for (const int row : {0, 3, 6}) {
            events->setCurrentIndex(row);
            dialog.OnSendEvent();
            ProcessEventsFor(50);
        }
        events->setCurrentIndex(3);
    }
    ProcessEventsFor(200);
    const bool saved = dialog.grab().save(QString::fromLocal8Bit(argv[1]), "PNG");
    return saved ? 0 : 1;
}
