#include "tests/engine/engine_harness.h"

#include "engine/control_ids.h"

#include <QByteArray>
#include <QTest>

#include <sys/socket.h>

using namespace Qt::Literals::StringLiterals;

std::vector<std::uint8_t> Bytes(std::string_view hex)
{
    const QByteArray bytes = QByteArray::fromHex(QByteArray(hex.data(), static_cast<qsizetype>(hex.size())));
    return {bytes.begin(), bytes.end()};
}

std::string Line(std::string_view hex)
{
    return " " + std::string(hex);
}

StatusBytes Status(std::string_view hex)
{
    const std::vector<std::uint8_t> bytes = Bytes(hex);
    StatusBytes status{};
    std::copy_n(bytes.begin(), status.size(), status.begin());
    return status;
}

EngineHarness::EngineHarness()
{
    console.Attach(&engine);
    console.SetDestination(peer.Port());
    console.texts[IDC_SOURCE_PORT] = u"0"_s;
    engine.OnStart();
}

std::uint16_t EngineHarness::Port() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(engine.m_endpoint.GetHandle(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool EngineHarness::WaitForLines(int listId, std::size_t count)
{
    return QTest::qWaitFor([&] { return console.Lines(listId).size() >= count; }, 2000) &&
           console.Lines(listId).size() == count;
}

bool EngineHarness::NothingSentBefore()
{
    engine.OnSendDebug();
    const auto datagram = peer.Receive();
    return datagram && datagram->bytes == Bytes("12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00");
}
