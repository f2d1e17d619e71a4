#include "protocol/endpoint.h"

#include "protocol/log_line.h"

std::string Endpoint::ToString() const
{
    return FormatPeer(address, port);
}
