#pragma once

#include "engine/host_center_engine.h"
#include "tests/support/hex_text.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/recording_console.h"

#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The operator's messages, written out here so that a changed text fails the tests.
inline const QString SOURCE_PORT_EMPTY = QStringLiteral("源端口不能为空");
inline const QString SOURCE_PORT_TAKEN = QStringLiteral("源端口打开失败，可能已被占用");
inline const QString ADDRESS_RANGE = QStringLiteral("所填写的设备地址范围不正确");
inline const QString DESTINATION_INVALID = QStringLiteral("目的ip或目的端口为空，或错误！");
inline const QString COMMAND_FORMAT = QStringLiteral("输入的命令格式不正确");

// The display line of a frame written as "0C 00 01": " 0C 00 01".
inline std::string Line(std::string_view hex)
{
    return " " + std::string(hex);
}

// An engine started on the given source port, its console aimed at a loopback peer.
struct EngineHarness
{
    explicit EngineHarness(const QString& sourcePort = QStringLiteral("0"));

    std::uint16_t Port() const { return engine.ListeningPort(); }
    // The pair's stored status; none while the pair is not registered.
    std::optional<std::vector<std::uint8_t>> StatusOf(int commNo, int deviceNo) const;
    // The next datagram at the peer, if one comes from the engine's port within two seconds.
    std::optional<std::vector<std::uint8_t>> Next();
    // Runs the event loop until the list holds `count` lines; false after two seconds or with more.
    bool WaitForLines(LogList list, std::size_t count);
    // Sends the debug frame and checks it is the next datagram at the peer: whatever the step under test
    // sent would have come first.
    bool NothingSentBefore();
    std::vector<std::string> Sent() const { return console.Texts(LogList::Sent); }
    std::vector<std::string> Received() const { return console.Texts(LogList::Received); }

    RecordingConsole console;
    LoopbackPeer peer;
    CHostCenterEngine engine{console};
};
