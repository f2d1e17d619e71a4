#pragma once

#include "cli/command.h"

// `proxy`: stands between real panels and a real centre, forwarding every datagram byte for byte, a line per
// datagram with its pairing and round trips, both legs in the capture, and the fault rules done to the
// datagrams they name, until a count, a time or a signal ends it.
void AddProxyCommand(CLI::App& app, CommandRunner& chosen);
