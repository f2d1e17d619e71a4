#pragma once

#include "net/destination.h"
#include "protocol/pcap_writer.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// --pcap: every datagram sent and received, with the real addresses and ports; nothing when no file was
// asked for. The first write error is kept for the end of the run.
class Capture final
{
public:
    // Nothing when the path is empty or the file opened.
    std::optional<std::string> Open(const std::string& path);
    // Addresses and ports in network byte order.
    void Record(std::int64_t timeUs, const Destination& from, const Destination& to,
                std::span<const std::uint8_t> bytes);
    std::optional<std::string> Close();

private:
    PcapFileWriter m_writer;
    std::optional<std::string> m_error;
};
