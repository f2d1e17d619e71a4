#pragma once

#include "protocol/endpoint.h"
#include "protocol/log_line.h"
#include "sim/status_rules.h"

#include <cstdint>
#include <string>

namespace veltrano {

// The text line of one event a panel's frame carried, as the companion's centre writes it and the window's
// event log saves and copies it: `<ts> event <peer> comm C dev D <key> [zone Z] (<index> <name>)`, with a
// newline. A status-bits event has no index.
inline void AppendEventTextLine(std::string& out, std::int64_t wallUs, const Endpoint& peer,
                                std::uint8_t comm, std::uint8_t dev, const PanelEvent& event)
{
    AppendTimestampUtc(out, wallUs);
    out += " event ";
    AppendPeer(out, peer.address, peer.port);
    out += " comm " + std::to_string(comm) + " dev " + std::to_string(dev) + ' ';
    AppendEventText(out, event);
    out += " (";
    if (event.row != STATUS_BITS_EVENT)
        out += std::to_string(event.row) + ' ';
    out += EventNameZh(event);
    out += ")\n";
}

} // namespace veltrano
