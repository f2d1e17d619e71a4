// Renders the console into a PNG after a short loopback session, with the tooltip of a sent status frame
// painted in, and the panel view of what its centre heard beside it: veltrano-screenshot <file.png> writes
// <file.png> and <file>-panels.png. VELTRANO_LANGUAGE=en draws them in English.

#include "ui/frame_list_view.h"
#include "ui/host_center_dlg.h"
#include "ui/panel_view.h"
#include "ui/qt_translations.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QHelpEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#include <algorithm>
#include <cstdio>

using namespace veltrano;

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

// A tooltip is a window of its own, which grabbing the dialog leaves out: rests the pointer on the row, then
// paints the tooltip that came up where it shows, within the picture.
void PaintToolTip(QPixmap& picture, const QWidget& dialog, FrameListView& list, int row)
{
    QWidget* viewport = list.viewport();
    // Right of the hex text, so that the tooltip leaves the lines below it readable.
    const QPoint pointer(viewport->width() / 2, row * list.RowHeight() + list.RowHeight() / 2);
    QHelpEvent hover(QEvent::ToolTip, pointer, viewport->mapToGlobal(pointer));
    QApplication::sendEvent(viewport, &hover);
    ProcessEventsFor(100);
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible() || !window->inherits("QTipLabel"))
            continue;
        const QPixmap tip = window->grab();
        const QPoint at = viewport->mapTo(&dialog, pointer) + QPoint(2, 16);
        QPainter painter(&picture);
        painter.drawPixmap(std::clamp(at.x(), 0, std::max(0, picture.width() - tip.width())),
                           std::clamp(at.y(), 0, std::max(0, picture.height() - tip.height())), tip);
        return;
    }
}

// Panels of the console's own events, one of them in alarm, so that the view has rows to show.
void SendPanelEvents(QWidget& dialog)
{
    auto* events = dialog.findChild<QComboBox*>(u"IDC_EVENT_TYPE"_s);
    const struct
    {
        QString comm, dev, zone;
        int event; // catalogue row
    } sends[] = {
        {u"0"_s, u"1"_s, u"1"_s, 0}, {u"0"_s, u"1"_s, u"1"_s, 3}, {u"0"_s, u"2"_s, u"1"_s, 6},
        {u"3"_s, u"7"_s, u"5"_s, 3}, {u"3"_s, u"7"_s, u"5"_s, 4}, {u"12"_s, u"40"_s, u"2"_s, 11},
    };
    for (const auto& send : sends) {
        SetText(dialog, u"IDC_COMM_NO"_s, send.comm);
        SetText(dialog, u"IDC_DEVICE_NO"_s, send.dev);
        SetText(dialog, u"IDC_ZONE_NO"_s, send.zone);
        events->setCurrentIndex(send.event);
        Click(dialog, u"IDC_SEND_EVENT"_s);
        ProcessEventsFor(50);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    SetUiLanguage(LanguageFromEnvironment());
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
        // A frame with a wrong checksum, drawn in the warning colour where it is received.
        SetText(dialog, u"IDC_CUSTOM_TEXT"_s, u"0c 00 01 00 00 00 02 01 11 00 00 ff"_s);
        Click(dialog, u"IDC_SEND_CUSTOM"_s);
    }
    ProcessEventsFor(200);
    QPixmap picture = dialog.grab();
    if (auto* sent = dialog.findChild<FrameListView*>(u"IDC_SENT_LIST"_s);
        sent != nullptr && sent->count() > 2)
        PaintToolTip(picture, dialog, *sent, 2); // the zone alarm, with its acknowledgement
    const QFileInfo file(QString::fromLocal8Bit(argv[1]));
    bool saved = picture.save(file.filePath(), "PNG");

    if (port != 0)
        SendPanelEvents(dialog);
    dialog.OpenPanelView();
    // Every column in the picture, whatever the screen it is drawn for.
    PanelView* view = dialog.PanelViewWindow();
    view->resize(std::max(view->width(), view->ContentWidth()), view->height());
    ProcessEventsFor(300);
    const QString panels = file.dir().filePath(file.completeBaseName() + u"-panels.png"_s);
    saved = view->grab().save(panels, "PNG") && saved;
    return saved ? 0 : 1;
}
