#include "tests/engine/engine_harness.h"

#include <QByteArray>
#include <QTest>

using namespace veltrano;

EngineHarness::EngineHarness(const QString& sourcePort)
{
    console.destinationPort = QString::number(peer.Port());
    console.sourcePort = sourcePort;
    engine.OnStart();
}

std::optional<std::vector<std::uint8_t>> EngineHarness::StatusOf(int commNo, int deviceNo) const
{
    const CDeviceEntry* entry =
        engine.Registry().FindDevice(static_cast<std::uint8_t>(commNo), static_cast<std::uint8_t>(deviceNo));
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

bool EngineHarness::WaitForLines(LogList list, std::size_t count)
{
    const auto& lines = console.Lines(list);
    return QTest::qWaitFor([&] { return lines.size() >= count; }, 2000) && lines.size() == count;
}

bool EngineHarness::NothingSentBefore()
{
    engine.OnSendDebug();
    return Next() == Bytes("12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00");
}
