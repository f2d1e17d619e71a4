#pragma once

#include <cstdint>
#include <optional>

// The local IPv4 address the system would send from toward `peer`: 127.0.0.1
// toward loopback, otherwise the address of the interface its route leaves by. Found by connecting a
// throw-away UDP socket, which sends nothing; none when there is no route.
std::optional<std::uint32_t> LocalAddressToward(std::uint32_t peer);
