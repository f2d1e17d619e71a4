// Through the window system, as a real pointer: hovering starts the tooltip timer and a right press opens
// the context menu.
#define QTEST_QPA_MOUSE_HANDLING

#include "link/frame_record.h"
#include "tests/support/hex_text.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/pcap_reader.h"
#include "tests/ui/ui_harness.h"
#include "ui/frame_list_view.h"
#include "ui/frame_tooltip.h"
#include "ui/host_center_dlg.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int WAIT_MS = 5000;
const QString STATUS_LINE = u" 0C 00 01 00 00 00 02 01 11 00 00 21"_s;
const QString BAD_CHECKSUM_LINE = u" 0C 00 01 00 00 00 02 01 11 00 00 FF"_s;
constexpr int ZONE_ALARM = 3;
constexpr int ONLINE = 0;

// The colour of the text a row shows on screen: "red", "orange", "plain" or "nothing".
std::string InkOf(const FrameListView& view, int row)
{
    const QImage image = view.viewport()->grab().toImage();
    const auto near = [](QColor c, QRgb target) {
        return std::abs(c.red() - qRed(target)) + std::abs(c.green() - qGreen(target)) +
                   std::abs(c.blue() - qBlue(target)) <
               40;
    };
    int red = 0, orange = 0, dark = 0;
    for (int y = row * view.RowHeight(); y < (row + 1) * view.RowHeight(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            red += near(c, FrameListView::FAILED_SEND_COLOUR) ? 1 : 0;
            orange += near(c, FrameListView::FINDINGS_COLOUR) ? 1 : 0;
            dark += c.lightness() < 80 ? 1 : 0;
        }
    }
    return red > 0 ? "red" : orange > 0 ? "orange" : dark > 0 ? "plain" : "nothing";
}

QPoint RowCentre(const FrameListView& view, int row)
{
    return {40, row * view.RowHeight() + view.RowHeight() / 2};
}

// Rests the pointer on the row; the tooltip that comes up, or nothing after the wait.
QString Hover(const FrameListView& view, int row)
{
    QTest::mouseMove(view.viewport(), RowCentre(view, row));
    const QString expected = view.ToolTip(static_cast<std::size_t>(row));
    return QTest::qWaitFor([&] { return QToolTip::isVisible() && QToolTip::text() == expected; }, WAIT_MS)
               ? QToolTip::text()
               : QString();
}

// Right-clicks the row; the entries of the menu that opens, separators left out. The menu is left open.
QStringList RightClick(const FrameListView& view, int row, QMenu** opened)
{
    QTest::mouseClick(view.viewport(), Qt::RightButton, {}, RowCentre(view, row));
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    *opened = menu;
    QStringList entries;
    if (menu == nullptr || menu->objectName() != u"listMenu"_s)
        return entries;
    for (const QAction* action : menu->actions()) {
        if (!action->isSeparator())
            entries << (action->isEnabled() ? action->text() : u"("_s + action->text() + u")"_s);
    }
    return entries;
}

// One console talking to itself on loopback, a peer that sends a frame with a wrong checksum, a sink that
// never answers and a send that fails:
//   sent: 0 status to itself, 1 its acknowledgement, 2 the acknowledgement to the peer, 3 online to the
//         sink, 4 status to port 0 (fails)
//   received: 0 its own status, 1 the acknowledgement of it, 2 the peer's frame with the wrong checksum
class TrafficTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dialog = StartConsole();
        ASSERT_TRUE(m_dialog);
        m_port = m_dialog->Engine().ListeningPort();
        m_sent = m_dialog->findChild<FrameListView*>(u"IDC_SENT_LIST"_s);
        m_received = m_dialog->findChild<FrameListView*>(u"IDC_RECV_LIST"_s);

        Send(ZONE_ALARM);
        ASSERT_TRUE(QTest::qWaitFor([this] { return m_received->count() == 2; }, WAIT_MS));
        m_peer.SendTo(m_port, BytesOfLine(BAD_CHECKSUM_LINE));
        ASSERT_TRUE(QTest::qWaitFor([this] { return m_sent->count() == 3; }, WAIT_MS));
        SetText(*m_dialog, "IDC_DEST_PORT", QString::number(m_sink.Port()));
        Send(ONLINE);
        SetText(*m_dialog, "IDC_DEST_PORT", u"0"_s);
        Send(ZONE_ALARM);
        ASSERT_EQ(m_sent->count(), 5u);
        ASSERT_EQ(m_received->count(), 3u);
    }

    void Send(int event)
    {
        m_dialog->findChild<QComboBox*>(u"IDC_EVENT_TYPE"_s)->setCurrentIndex(event);
        m_dialog->findChild<QPushButton*>(u"IDC_SEND_EVENT"_s)->click();
    }
    QString Peer(std::uint16_t port) const { return QString::fromLatin1(FormatPeer(0x7F000001, port)); }

    LoopbackPeer m_peer;
    LoopbackPeer m_sink;
    std::unique_ptr<CHostCenterDlg> m_dialog;
    FrameListView* m_sent{nullptr};
    FrameListView* m_received{nullptr};
    std::uint16_t m_port{0};
};

TEST_F(TrafficTest, HoveringALineExplainsItAndAnomaliesStandOutInColour)
{
    const QString self = Peer(m_port), failure = QString::fromLocal8Bit(std::strerror(EINVAL));
    const struct
    {
        FrameListView* list;
        int row;
        QStringList says;
        const char* ink;
    } cases[] = {
        // clang-format off
        {m_sent, 0, {u"发往："_s + self, u"命令：状态 (0x02)"_s, u"防区报警：1"_s, u"确认：收到于 "_s, u"，往返 "_s}, "plain"},
        {m_sent, 1, {u"命令：状态确认 (0x82)"_s, u"所应答的帧：收到于 "_s, u"，应答用时 "_s}, "plain"},
        {m_sent, 3, {u"发往："_s + Peer(m_sink.Port()), u"命令：设备在线 (0x01)"_s, u"确认：尚无确认"_s}, "plain"},
        {m_sent, 4, {u"发往："_s + Peer(0), u"发送失败："_s + failure, u"命令：状态 (0x02)"_s}, "red"},
        {m_received, 0, {u"来自："_s + self, u"校验和：正确 (0x21)"_s, u"应答：发出于 "_s}, "plain"},
        {m_received, 1, {u"命令：状态确认 (0x82)"_s, u"所确认的帧：发出于 "_s, u"，往返 "_s}, "plain"},
        {m_received, 2, {u"来自："_s + Peer(m_peer.Port()), u"校验和：错误，应为 0x21，实为 0xFF"_s, u"问题：校验和错误"_s}, "orange"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.list->objectName().toStdString() << " row " << c.row);
        const QString tip = Hover(*c.list, c.row);
        ASSERT_TRUE(tip.startsWith(u"时间："_s)) << tip.toStdString();
        for (const QString& part : c.says)
            EXPECT_TRUE(tip.contains(part)) << part.toStdString() << " in\n" << tip.toStdString();
        // A time between two lines is never negative, whichever of the two is hovered.
        if (tip.contains(u"往返"_s) || tip.contains(u"应答用时"_s)) {
            EXPECT_TRUE(tip.contains(QRegularExpression(u"(往返|应答用时) \\d"_s))) << tip.toStdString();
        }
        EXPECT_EQ(InkOf(*c.list, c.row), c.ink);
    }
    // The failed line keeps its text, and a selected line takes the selection's colours.
    EXPECT_EQ(m_sent->text(4), STATUS_LINE);
    QTest::mouseClick(m_sent->viewport(), Qt::LeftButton, {}, RowCentre(*m_sent, 4));
    EXPECT_EQ(InkOf(*m_sent, 4), "nothing"); // highlighted text is light

    // A cleared line is never referred to: its partner says so.
    m_dialog->findChild<QPushButton*>(u"IDC_CLEAR_RECV"_s)->click();
    EXPECT_TRUE(Hover(*m_sent, 0).contains(u"确认：该行已清除"_s));
}

TEST(FormatDuration, MicrosecondsUpToAMillisecondThenMillisecondsThenSeconds)
{
    const struct
    {
        std::int64_t us;
        QString text;
    } cases[] = {
        {0, u"0 µs"_s},
        {999, u"999 µs"_s},
        {1000, u"1.000 ms"_s},
        {482'512, u"482.512 ms"_s},
        {1'000'000, u"1.000 s"_s},
        {-1000, u"-1.000 ms"_s},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatDuration(c.us), c.text) << c.us;
}

TEST_F(TrafficTest, TheContextMenuCopiesSelectsAllAndShowsTheCounts)
{
    QMenu* menu = nullptr;
    EXPECT_EQ(RightClick(*m_sent, 3, &menu),
              (QStringList{u"复制(&C)"_s, u"全选(&A)"_s, u"保存为文本(&T)..."_s, u"保存为 pcap(&P)..."_s,
                           u"(帧：3)"_s, u"(确认：2)"_s, u"(未收到确认：1)"_s, u"(发送失败：1)"_s,
                           u"(有问题的帧：0)"_s}));
    ASSERT_NE(menu, nullptr);
    menu->actions().value(0)->trigger(); // the right click selected the line under it
    menu->close();
    EXPECT_EQ(QApplication::clipboard()->text(), m_sent->text(3));

    EXPECT_EQ(RightClick(*m_received, 2, &menu),
              (QStringList{u"复制(&C)"_s, u"全选(&A)"_s, u"保存为文本(&T)..."_s, u"保存为 pcap(&P)..."_s,
                           u"面板状态(&B)..."_s, u"(帧：2)"_s, u"(确认：1)"_s, u"(未回确认：0)"_s,
                           u"(有问题的帧：1)"_s}));
    ASSERT_NE(menu, nullptr);
    menu->actions().value(1)->trigger();
    menu->close();
    EXPECT_EQ(m_received->SelectedText(),
              m_received->text(0) + u'\n' + m_received->text(1) + u'\n' + m_received->text(2));
}

// Lines appended once a save has started stay out of the file.
TEST_F(TrafficTest, SavedTextAndCaptureHoldTheListAsItWasWhenTheSaveStarted)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::uint16_t self = m_port, peer = m_peer.Port(), sink = m_sink.Port();
    // Source and destination port of each line of the capture; the failed send is not in it.
    const struct
    {
        FrameListView* list;
        SaveFormat format;
        std::vector<std::pair<std::uint16_t, std::uint16_t>> ports;
    } cases[] = {
        {m_sent, SaveFormat::Pcap, {{self, self}, {self, self}, {self, peer}, {self, sink}}},
        {m_received, SaveFormat::Pcap, {{self, self}, {self, self}, {peer, self}}},
        {m_sent, SaveFormat::Text, {}},
        {m_received, SaveFormat::Text, {}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.list->objectName().toStdString() << " case " << n);
        const QString path = dir.filePath(QString::number(n++));
        QSignalSpy finished(c.list, &FrameListView::SaveFinished);
        const std::size_t lines = c.list->count();
        ASSERT_TRUE(c.list->Save(c.format, path));
        c.list->AppendFrame({BytesOfLine(STATUS_LINE), 0, {}, 0});
        ASSERT_TRUE(finished.wait(WAIT_MS));
        EXPECT_EQ(finished.value(0).value(0).toString(), QString());

        const FrameListStore& store = c.list->Store();
        if (c.format == SaveFormat::Text) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            const QStringList text = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
            ASSERT_EQ(static_cast<std::size_t>(text.size()), lines);
            for (std::size_t row = 0; row < lines; ++row) {
                const LoggedFrame frame = store.At(row);
                std::string line;
                AppendTextLine(line, MakeRecord(frame.timeUs, c.list->GetDirection(), frame.peer, {},
                                                frame.bytes, frame.sendError));
                line.pop_back();
                EXPECT_EQ(text[static_cast<qsizetype>(row)], QString::fromStdString(line));
            }
            continue;
        }
        const PcapReadResult capture = ReadPcapFile(path.toStdString());
        ASSERT_FALSE(capture.error) << *capture.error;
        ASSERT_EQ(capture.records.size(), c.ports.size());
        for (std::size_t i = 0; i < c.ports.size(); ++i) {
            const PcapUdpRecord& record = capture.records[i];
            const LoggedFrame frame = store.At(i);
            EXPECT_EQ(record.payload, std::vector<std::uint8_t>(frame.bytes.begin(), frame.bytes.end())) << i;
            EXPECT_EQ(record.timeUs, frame.timeUs) << i;
            EXPECT_EQ(record.sourceAddress, 0x7F000001u) << i;
            EXPECT_EQ(record.destinationAddress, 0x7F000001u) << i;
            EXPECT_EQ(std::pair(record.sourcePort, record.destinationPort), c.ports[i]) << i;
        }
    }
}

// Neither a failed nor an abandoned save leaves a file under the chosen name, nor changes one already there.
TEST_F(TrafficTest, AFailedOrAbandonedSaveSaysWhyAndLeavesNoFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto fill = [this] {
        for (int i = 0; i < 200; ++i) // about 18 KB of text
            m_sent->AppendFrame({BytesOfLine(STATUS_LINE), i, {}, 0});
    };
    const struct
    {
        const char* why;
        QString path;
        bool fileThere;
        bool clear;
        rlim_t sizeLimit; // 0: none
        QString message;
    } cases[] = {
        {"missing folder", dir.filePath(u"missing/sent.txt"_s), false, false, 0, u"无法保存"_s},
        {"cleared", dir.filePath(u"cleared.txt"_s), false, true, 0, u"列表已被清除"_s},
        {"disk full", dir.filePath(u"full.txt"_s), true, false, 4096, u"无法保存"_s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        if (c.fileThere) {
            QFile before(c.path);
            ASSERT_TRUE(before.open(QIODevice::WriteOnly));
            before.write("kept");
        }
        fill();
        MessageRecorder recorder;
        QSignalSpy finished(m_sent, &FrameListView::SaveFinished);
        // Writes past the limit fail as on a full disk (root ignores read-only folders).
        rlimit original{};
        ::getrlimit(RLIMIT_FSIZE, &original);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        if (c.sizeLimit != 0) {
            rlimit limited = original;
            limited.rlim_cur = c.sizeLimit;
            ::setrlimit(RLIMIT_FSIZE, &limited);
        }
        m_sent->Save(SaveFormat::Text, c.path);
        if (c.clear)
            m_dialog->findChild<QPushButton*>(u"IDC_CLEAR_SENT"_s)->click();
        const bool done = QTest::qWaitFor([&] { return finished.count() == 1; }, WAIT_MS);
        ::setrlimit(RLIMIT_FSIZE, &original);
        std::signal(SIGXFSZ, previous);
        ASSERT_TRUE(done);

        const QString message = finished.value(0).value(0).toString();
        EXPECT_TRUE(message.contains(c.message)) << message.toStdString();
        EXPECT_EQ(recorder.messages, QStringList{message});
        QFile after(c.path);
        EXPECT_EQ(after.exists(), c.fileThere);
        if (c.fileThere && after.open(QIODevice::ReadOnly)) {
            EXPECT_EQ(after.readAll(), "kept");
        }
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files),
                  c.fileThere ? QStringList{u"full.txt"_s} : QStringList());
    }
}

} // namespace
