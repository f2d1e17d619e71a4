// Acknowledged frames per second through the centre's receive path (endpoint, event loop, OnUdpNotify,
// display lines) against a plain blocking echo loop doing the same acknowledgement. Loopback only.
#include "engine/console.h"
#include "engine/control_ids.h"
#include "engine/host_center_engine.h"
#include "net/udp_endpoint.h"
#include "protocol/frame.h"
#include "ui/host_center_app.h"

#include <QCoreApplication>
#include <QObject>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int OUTSTANDING = 16;
constexpr std::uint64_t FRAMES = 200000;
constexpr auto TIME_LIMIT = std::chrono::seconds(30);
constexpr int LOSS_WAIT_MS = 100;

using Clock = std::chrono::steady_clock;

struct RunResult
{
    std::uint64_t acknowledged{0};
    std::uint64_t lost{0};
    double seconds{0};

    double PerSecond() const { return seconds > 0 ? static_cast<double>(acknowledged) / seconds : 0; }
};

// Stores the lines as a list view's model would.
class BenchConsole final : public QObject, public IConsole
{
public:
    explicit BenchConsole(CHostCenterEngine*& engine) : m_engine(engine) {}

    bool PullFormValues(int&, int&, int&, QString&) override { return true; }
    std::optional<int> EventSelection() const override { return std::nullopt; }
    QString ControlText(int controlId) const override
    {
        return controlId == IDC_SOURCE_PORT ? u"0"_s : QString();
    }
    void AppendLine(int listId, std::string_view line) override
    {
        (listId == IDC_RECV_LIST ? received : sent).emplace_back(line);
    }
    void ResetList(int) override {}
    void ShowMessage(const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
    void EnableControl(int, bool) override {}
    void SetTimer(int, int) override {}
    void KillTimer(int) override {}
    QObject* Window() override { return this; }

    bool event(QEvent* e) override
    {
        if (m_engine->DispatchWindowMessage(e))
            return true;
        return QObject::event(e);
    }

    std::vector<std::string> received;
    std::vector<std::string> sent;

private:
    CHostCenterEngine*& m_engine;
};

int LoopbackSocket()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    return s;
}

std::uint16_t BoundPort(int socket)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Keeps OUTSTANDING status frames in flight against the port until FRAMES are acknowledged or time runs
// out; a frame not answered within LOSS_WAIT_MS is replaced.
RunResult RunClient(std::uint16_t port)
{
    const int s = LoopbackSocket();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FrameBuffer frame{0x0C, 0x00, 0x01, 0x00, 0x00, 0x00, CMD_STATUS, 0x01, 0x11, 0x00, 0x00, 0x21};
    std::uint64_t sentCount = 0;
    const auto send = [&] {
        frame[FRAME_DEVICE_NO] = static_cast<std::uint8_t>(sentCount % 240);
        frame[STATUS_FRAME_LENGTH - 1] = FrameChecksum(frame);
        ::sendto(s, frame.data(), STATUS_FRAME_LENGTH, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        ++sentCount;
    };

    RunResult result;
    const auto start = Clock::now();
    for (int i = 0; i < OUTSTANDING; ++i)
        send();
    std::array<std::uint8_t, 256> ack{};
    while (result.acknowledged < FRAMES && Clock::now() - start < TIME_LIMIT) {
        pollfd pfd{s, POLLIN, 0};
        if (::poll(&pfd, 1, LOSS_WAIT_MS) <= 0) {
            ++result.lost;
            send();
            continue;
        }
        const auto n = ::recv(s, ack.data(), ack.size(), 0);
        if (n == ACK_FRAME_LENGTH && (ack[FRAME_COMMAND] & ACK_FLAG) != 0)
            ++result.acknowledged;
        if (sentCount < FRAMES + result.lost)
            send();
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(s);
    return result;
}

RunResult RunCentre(QCoreApplication& app)
{
    CHostCenterEngine* enginePointer = nullptr;
    BenchConsole console(enginePointer);
    CHostCenterEngine engine(console);
    enginePointer = &engine;
    console.received.reserve(FRAMES + FRAMES / 4);
    console.sent.reserve(FRAMES + FRAMES / 4);
    engine.OnStart();
    if (!engine.m_endpoint.IsOpen())
        return {};

    RunResult result;
    std::thread client([&] {
        result = RunClient(BoundPort(engine.m_endpoint.GetHandle()));
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    client.join();
    return result;
}

RunResult RunPlainEcho()
{
    const int s = LoopbackSocket();
    timeval timeout{0, 100 * 1000};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        FrameBuffer buffer{};
        while (!stop.load(std::memory_order_relaxed)) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const auto n =
                ::recvfrom(s, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0 || buffer[FRAME_COMMAND] >= ACK_FLAG)
                continue;
            buffer[FRAME_LENGTH] = ACK_FRAME_LENGTH;
            buffer[FRAME_COMMAND] |= ACK_FLAG;
            buffer[ACK_FRAME_LENGTH - 1] = FrameChecksum(buffer);
            ::sendto(s, buffer.data(), ACK_FRAME_LENGTH, 0, reinterpret_cast<const sockaddr*>(&from), length);
        }
    });
    const RunResult result = RunClient(BoundPort(s));
    stop = true;
    echo.join();
    ::close(s);
    return result;
}

void Print(const char* name, const RunResult& r)
{
    std::printf("%-12s %9llu acknowledged, %5llu lost, %7.3f s, %10.0f frames/s\n", name,
                static_cast<unsigned long long>(r.acknowledged), static_cast<unsigned long long>(r.lost),
                r.seconds, r.PerSecond());
}

} // namespace

int main(int argc, char** argv)
{
    CHostCenterApp::PrepareEnvironment(); // the program's event dispatcher
    QCoreApplication app(argc, argv);
    const RunResult centre = RunCentre(app);
    const RunResult plain = RunPlainEcho();
    Print("centre path", centre);
    Print("plain echo", plain);
    const double ratio = plain.PerSecond() > 0 ? centre.PerSecond() / plain.PerSecond() : 0;
    std::printf("ratio        %.2f (goal 0.40)\n", ratio);
    std::printf("RESULT|centre path / echo loop, 16 outstanding, no window|%.2f|>= 0.40|%s\n", ratio,
                ratio >= 0.4 ? "OK" : "MISSED");
    return centre.acknowledged > 0 && plain.acknowledged > 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
