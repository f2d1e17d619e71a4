#include "tests/engine/engine_harness.h"

#include "engine/auto_send.h"

#include <QByteArray>
#include <QTest>

#include <sys/socket.h>

std::vector<std::uint8_t> Bytes(std::string_view hex)
{
    const QByteArray bytes = QByteArray::fromHex(QByteArray(hex.data(), static_cast<qsizetype>(hex.size())));
    return {bytes.begin(), bytes.end()};
}

bool FakeConsole::PullFormValues(int& commNo, int& deviceNo, int& zoneNo, QString& commandText)
{
    commNo = form.commNo.value_or(commNo);
    deviceNo = form.deviceNo.value_or(deviceNo);
    zoneNo = form.zoneNo.value_or(zoneNo);
    commandText = form.commandText.value_or(commandText);
    return form.succeeds;
}

std::string FakeConsole::Enabling() const
{
    std::string states;
    for (const int id :
         {IDC_START, IDC_STOP, IDC_SEND_EVENT, IDC_AUTO_SEND, IDC_AUTO_STOP, IDC_DEST_IP, IDC_DEST_PORT})
        states += !flags.contains(id) ? '-' : flags.at(id) ? '1' : '0';
    return states;
}

bool FakeConsole::event(QEvent* e)
{
    return (engine != nullptr && engine->DispatchWindowMessage(e)) || QObject::event(e);
}

EngineHarness::EngineHarness(const QString& sourcePort)
{
    TheSweepState() = SweepState{};
    console.engine = &engine;
    console.texts[IDC_DEST_IP] = QStringLiteral("127.0.0.1");
    console.texts[IDC_DEST_PORT] = QString::number(peer.Port());
    console.texts[IDC_SOURCE_PORT] = sourcePort;
    engine.OnStart();
}

std::uint16_t EngineHarness::Port() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(engine.m_endpoint.GetHandle(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

std::optional<std::vector<std::uint8_t>> EngineHarness::StatusOf(int commNo, int deviceNo) const
{
    const CDeviceEntry* entry = engine.m_registry.FindDevice(commNo, deviceNo);
    if (entry == nullptr)
        return std::nullopt;
    return std::vector<std::uint8_t>(entry->m_status.begin(), entry->m_status.end());
}

std::optional<std::vector<std::uint8_t>> EngineHarness::Next()
{
    auto datagram = peer.Receive();
    if (!datagram || datagram->fromPort != Port())
        return std::nullopt;
    return std::move(datagram->bytes);
}

bool EngineHarness::WaitForLines(int listId, std::size_t count)
{
    const auto& list = console.lines[listId];
    return QTest::qWaitFor([&] { return list.size() >= count; }, 2000) && list.size() == count;
}

bool EngineHarness::NothingSentBefore()
{
    engine.OnSendDebug();
    return Next() == Bytes("12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00");
}
