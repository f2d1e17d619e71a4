#pragma once

#include "engine/host_center_engine.h"
#include "tests/engine/fake_console.h"
#include "tests/support/udp_peer.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// "0C 00 01" -> {0x0C, 0x00, 0x01}.
std::vector<std::uint8_t> Bytes(std::string_view hex);
// The display line of a frame written as "0C 00 01": " 0C 00 01".
std::string Line(std::string_view hex);
StatusBytes Status(std::string_view hex);

// An engine started on a port the system picks, with its console aimed at a loopback peer.
struct EngineHarness
{
    EngineHarness();

    // The engine's bound port, host byte order.
    std::uint16_t Port() const;
    // Runs the event loop until the list holds `count` lines; false after two seconds.
    bool WaitForLines(int listId, std::size_t count);
    // Sends the debug frame and checks it is the next datagram at the peer: whatever the step under test
    // sent would have come first.
    bool NothingSentBefore();

    FakeConsole console;
    CHostCenterEngine engine{console};
    UdpPeer peer;
};
