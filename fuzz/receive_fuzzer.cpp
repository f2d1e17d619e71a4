// Arbitrary datagrams of 0 to 2,000 bytes, one after another, from a loopback socket into an open
// endpoint, each handled by the real notification path: event loop, read, display line, acknowledgement.
// Checks that only datagrams of 1 to 128 bytes whose byte 6 is below 0x80 are answered, exactly once.
#include "engine/console.h"
#include "engine/control_ids.h"
#include "engine/host_center_engine.h"
#include "net/udp_endpoint.h"

#include <QCoreApplication>
#include <QObject>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

class FuzzConsole final : public QObject, public IConsole
{
public:
    CHostCenterEngine* engine{nullptr};
    std::size_t received{0};
    std::size_t sent{0};

    bool PullFormValues(int&, int&, int&, QString&) override { return true; }
    std::optional<int> EventSelection() const override { return std::nullopt; }
    QString ControlText(int) const override { return {}; }
    void AppendLine(int listId, std::string_view line) override
    {
        if (line.size() < 3 || line.size() > 3 * FRAME_BUFFER_SIZE)
            std::abort();
        ++(listId == IDC_RECV_LIST ? received : sent);
    }
    void ResetList(int) override {}
    void ShowMessage(const QString&) override { std::abort(); }
    void EnableControl(int, bool) override {}
    void SetTimer(int, int) override {}
    void KillTimer(int) override {}
    QObject* Window() override { return this; }

    bool event(QEvent* e) override
    {
        if (engine->DispatchWindowMessage(e))
            return true;
        return QObject::event(e);
    }
};

struct Harness
{
    Harness()
    {
        console.engine = &engine;
        engine.m_endpoint.Open(0, &console, WM_UDP_NOTIFY);
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        ::getsockname(engine.m_endpoint.GetHandle(), reinterpret_cast<sockaddr*>(&bound), &len);
        centre.sin_family = AF_INET;
        centre.sin_port = bound.sin_port;
        centre.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        client = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(client, reinterpret_cast<sockaddr*>(&any), sizeof any);
    }

    // Runs the event loop until the centre has read the datagram (its socket is empty), bounded.
    void Drain()
    {
        for (int i = 0; i < 1000; ++i) {
            QCoreApplication::processEvents();
            pollfd pfd{engine.m_endpoint.GetHandle(), POLLIN, 0};
            if (::poll(&pfd, 1, 0) == 0)
                break;
        }
        QCoreApplication::processEvents();
    }

    std::size_t CountAcks()
    {
        std::size_t acks = 0;
        std::array<std::uint8_t, 256> buf{};
        while (::recv(client, buf.data(), buf.size(), MSG_DONTWAIT) >= 0)
            ++acks;
        return acks;
    }

    FuzzConsole console;
    CHostCenterEngine engine{console};
    sockaddr_in centre{};
    int client{-1};
};

Harness* harness = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Each datagram is a 2-byte little-endian length (mod 2,001) followed by that many bytes.
    std::size_t pos = 0;
    while (pos + 2 <= size) {
        std::size_t length = (data[pos] | (data[pos + 1] << 8)) % 2001;
        pos += 2;
        length = std::min(length, size - pos);
        const std::uint8_t* datagram = data + pos;
        pos += length;

        const std::size_t receivedBefore = harness->console.received;
        const std::size_t sentBefore = harness->console.sent;
        ::sendto(harness->client, datagram, length, 0, reinterpret_cast<const sockaddr*>(&harness->centre),
                 sizeof harness->centre);
        harness->Drain();

        const bool shown = length >= 1 && length <= FRAME_BUFFER_SIZE;
        // Bytes past a short datagram read as zero, so byte 6 of a datagram of 6 bytes or fewer is 0.
        const bool expectAck = shown && (length <= 6 || datagram[6] < 0x80);
        if (harness->console.received - receivedBefore != (shown ? 1u : 0u))
            std::abort();
        if (harness->console.sent - sentBefore != (expectAck ? 1u : 0u))
            std::abort();
        if (harness->CountAcks() != (expectAck ? 1u : 0u))
            std::abort();
    }
    return 0;
}
