#include "engine/control_ids.h"
#include "tests/support/udp_peer.h"
#include "tests/ui/dialog_test_support.h"
#include "ui/frame_list_view.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kWaitMs = 3000;

// Starts the console on a free port; returns that port.
int StartOnFreePort(const QWidget& dialog)
{
    const int port = FreeUdpPort();
    SetText(dialog, "IDC_SOURCE_PORT", PortText(port));
    Click(dialog, "IDC_START");
    return port;
}

const std::vector<std::uint8_t> kStatusFrame{0x0C, 0x00, 0x01, 0x00, 0x00, 0x00,
                                             0x02, 0x01, 0x11, 0x00, 0x00, 0x21};
const std::vector<std::uint8_t> kStatusAck{0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x82, 0x8B};

struct Step
{
    const char* what;
    const char* button; // nullptr: nothing pressed
    ConsoleState state;
};

TEST(ConsoleCommands, EnablingFollowsStartStopAndAutomaticSending)
{
    MessageRecorder recorder;
    UdpPeer sink;
    const auto dialog = OpenConsole(PortText(sink.Port()));
    ASSERT_TRUE(dialog);
    SetText(*dialog, "IDC_SOURCE_PORT", PortText(FreeUdpPort()));
    const Step steps[] = {
        {"opened", nullptr, ConsoleState::Idle},
        {"start", "IDC_START", ConsoleState::Started},
        {"automatic send", "IDC_AUTO_SEND", ConsoleState::Sweeping},
        {"automatic stop", "IDC_AUTO_STOP", ConsoleState::Started},
        {"automatic send again", "IDC_AUTO_SEND", ConsoleState::Sweeping},
        {"stop while sweeping ends the sweep", "IDC_STOP", ConsoleState::Idle},
        {"start again", "IDC_START", ConsoleState::Started},
        {"stop", "IDC_STOP", ConsoleState::Idle},
    };
    for (const Step& step : steps) {
        if (step.button)
            Click(*dialog, step.button);
        EXPECT_EQ(ActualEnabling(*dialog), ExpectedEnabling(step.state)) << step.what;
        EXPECT_EQ(AutoSendTimerOf(*dialog)->isActive(), step.state == ConsoleState::Sweeping) << step.what;
        EXPECT_EQ(dialog->m_endpoint.IsOpen(), step.state != ConsoleState::Idle) << step.what;
    }
    EXPECT_TRUE(recorder.messages.isEmpty());
}

TEST(ConsoleCommands, StartRefusesAnEmptyOrHeldSourcePortAndStaysIdle)
{
    UdpPeer holder; // holds its port on 127.0.0.1, so binding it on every interface fails
    ASSERT_TRUE(holder.IsValid());
    const struct
    {
        QString port;
        QString message;
    } cases[] = {
        {u""_s, u"源端口不能为空"_s},
        {PortText(holder.Port()), u"源端口打开失败，可能已被占用"_s},
    };
    for (const auto& c : cases) {
        MessageRecorder recorder;
        const auto dialog = OpenConsole();
        ASSERT_TRUE(dialog);
        SetText(*dialog, "IDC_SOURCE_PORT", c.port);
        Click(*dialog, "IDC_START");
        EXPECT_EQ(recorder.messages, QStringList{c.message});
        EXPECT_EQ(ActualEnabling(*dialog), ExpectedEnabling(ConsoleState::Idle));
        EXPECT_FALSE(dialog->m_endpoint.IsOpen());
    }
}

TEST(ConsoleCommands, AFrameFromOneConsoleIsAcknowledgedByAnother)
{
    const int portA = FreeUdpPort();
    int portB = FreeUdpPort();
    for (int guard = 0; portB == portA && guard < 10; ++guard)
        portB = FreeUdpPort();
    ASSERT_NE(portA, portB);
    const auto a = OpenConsole(PortText(portB));
    const auto b = OpenConsole(PortText(portA));
    ASSERT_TRUE(a && b);
    SetText(*a, "IDC_SOURCE_PORT", PortText(portA));
    SetText(*b, "IDC_SOURCE_PORT", PortText(portB));
    Click(*a, "IDC_START");
    Click(*b, "IDC_START");

    a->findChild<QComboBox*>(u"IDC_EVENT_TYPE"_s)->setCurrentIndex(3); // zone alarm
    Click(*a, "IDC_SEND_EVENT");
    ASSERT_TRUE(QTest::qWaitFor([&] { return ListOf(*a, "IDC_RECV_LIST")->count() == 1; }, kWaitMs));

    const QString frame = u" 0C 00 01 00 00 00 02 01 11 00 00 21"_s;
    const QString ack = u" 08 00 01 00 00 00 82 8B"_s;
    EXPECT_EQ(ListOf(*a, "IDC_SENT_LIST")->count(), 1u); // the acknowledgement is not answered
    EXPECT_EQ(ListOf(*a, "IDC_SENT_LIST")->text(0), frame);
    EXPECT_EQ(ListOf(*b, "IDC_RECV_LIST")->text(0), frame);
    EXPECT_EQ(ListOf(*b, "IDC_SENT_LIST")->text(0), ack);
    EXPECT_EQ(ListOf(*a, "IDC_RECV_LIST")->text(0), ack);
}

TEST(ConsoleCommands, DatagramsAndTicksAreHandledWhileAMessageBoxIsOpen)
{
    UdpPeer sink;
    UdpPeer sender;
    const auto dialog = OpenConsole(PortText(sink.Port()));
    ASSERT_TRUE(dialog);
    const int port = StartOnFreePort(*dialog);
    Click(*dialog, "IDC_AUTO_SEND");
    SetText(*dialog, "IDC_CUSTOM_TEXT", u"zz"_s); // malformed: its send answers with a message box

    QString boxText;
    bool okOnly = false;
    bool acknowledged = false;
    bool ticked = false;
    WhenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr)
            return;
        boxText = box->text();
        okOnly = box->standardButtons() == QMessageBox::Ok;
        sender.SendTo(static_cast<std::uint16_t>(port), kStatusFrame);
        acknowledged = QTest::qWaitFor(
            [&] {
                const auto reply = sender.TryReceive();
                return reply && reply->bytes == kStatusAck;
            },
            kWaitMs);
        ticked = QTest::qWaitFor([&] { return sink.TryReceive().has_value(); }, kWaitMs);
        box->button(QMessageBox::Ok)->click();
    });
    Click(*dialog, "IDC_SEND_CUSTOM"); // returns when the box has been closed

    EXPECT_EQ(boxText, u"输入的命令格式不正确"_s);
    EXPECT_TRUE(okOnly);
    EXPECT_TRUE(acknowledged);
    EXPECT_TRUE(ticked);
    EXPECT_EQ(ListOf(*dialog, "IDC_RECV_LIST")->text(0), u" 0C 00 01 00 00 00 02 01 11 00 00 21"_s);
}

TEST(ConsoleCommands, DestroyingASweepingConsoleReleasesItsPort)
{
    UdpPeer sink;
    int port = 0;
    {
        const auto dialog = OpenConsole(PortText(sink.Port()));
        ASSERT_TRUE(dialog);
        port = StartOnFreePort(*dialog);
        Click(*dialog, "IDC_AUTO_SEND");
        ASSERT_TRUE(AutoSendTimerOf(*dialog)->isActive());
        UdpPeer clash(static_cast<std::uint16_t>(port));
        EXPECT_FALSE(clash.IsValid());
    }
    UdpPeer reuse(static_cast<std::uint16_t>(port));
    EXPECT_TRUE(reuse.IsValid());
}

} // namespace
