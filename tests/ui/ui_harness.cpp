#include "tests/ui/ui_harness.h"

#include "tests/support/loopback_peer.h"
#include "ui/frame_list_view.h"
#include "ui/host_center_dlg.h"

#include <QAbstractItemModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <algorithm>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

void SetText(const QWidget& window, const char* edit, const QString& text)
{
    Find<QLineEdit>(window, edit)->setText(text);
}

void Click(const QWidget& window, const char* button)
{
    Find<QPushButton>(window, button)->click();
}

QStringList Lines(const QWidget& window, const char* list)
{
    const auto* view = Find<FrameListView>(window, list);
    QStringList lines;
    for (std::size_t row = 0; row < view->count(); ++row)
        lines << view->text(row);
    return lines;
}

QStringList RowTexts(const QAbstractItemModel& model, int row)
{
    QStringList texts;
    for (int column = 0; column < model.columnCount(); ++column)
        texts << model.index(row, column).data().toString();
    return texts;
}

QStringList ColumnTexts(const QAbstractItemModel& model, int column)
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts << model.index(row, column).data().toString();
    return texts;
}

std::unique_ptr<CHostCenterDlg> OpenConsole(const QString& destinationPort)
{
    auto console = std::make_unique<CHostCenterDlg>();
    SetText(*console, "IDC_DEST_IP", u"127.0.0.1"_s);
    SetText(*console, "IDC_DEST_PORT", destinationPort);
    console->show();
    console->activateWindow();
    return QTest::qWaitForWindowActive(console.get()) ? std::move(console) : nullptr;
}

int StartOnFreePort(const QWidget& console)
{
    const int port = FreeUdpPort();
    SetText(console, "IDC_SOURCE_PORT", QString::number(port));
    Click(console, "IDC_START");
    return port;
}

std::unique_ptr<CHostCenterDlg> StartConsole(std::uint16_t destinationPort)
{
    const std::uint16_t port = FreeUdpPort();
    auto console = OpenConsole(QString::number(destinationPort != 0 ? destinationPort : port));
    if (console == nullptr)
        return nullptr;
    SetText(*console, "IDC_SOURCE_PORT", QString::number(port));
    Click(*console, "IDC_START");
    return console->Engine().ListeningPort() == port ? std::move(console) : nullptr;
}

void Poll(std::function<bool()> step, int triesLeft)
{
    QTimer::singleShot(10, qApp, [step, triesLeft] {
        if (!step() && triesLeft > 0)
            Poll(step, triesLeft - 1);
        else if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
}

void WhenModal(std::function<void(QWidget*)> inside)
{
    Poll([inside] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr)
            inside(modal);
        return modal != nullptr;
    });
}

MessageRecorder::MessageRecorder()
{
    m_timer.setInterval(5);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            messages << box->text();
            if (box->standardButtons() != QMessageBox::Ok)
                messages << u"(not OK only)"_s;
            box->button(QMessageBox::Ok)->click();
        }
    });
    m_timer.start();
}

std::array<std::uint8_t, STATUS_FRAME_LENGTH> StatusFrame(std::uint8_t comm, std::uint8_t dev,
                                                          StatusBytes status)
{
    std::array<std::uint8_t, STATUS_FRAME_LENGTH> frame{STATUS_FRAME_LENGTH, comm, dev, 0, 0, 0, CMD_STATUS};
    std::ranges::copy(status, frame.begin() + FRAME_STATUS);
    frame.back() = FrameChecksum(frame);
    return frame;
}
