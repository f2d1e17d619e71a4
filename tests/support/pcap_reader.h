#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Reads back the classic pcap files of protocol/pcap_writer.h for tests: link type RAW (101), each record
// an IPv4 header (options allowed), a UDP header, the datagram. Plain C++, no dependencies.

struct PcapUdpRecord
{
    std::int64_t timeUs{0};
    std::uint32_t sourceAddress{0};      // host byte order
    std::uint16_t sourcePort{0};         // host byte order
    std::uint32_t destinationAddress{0}; // host byte order
    std::uint16_t destinationPort{0};    // host byte order
    // IPv4 header fields a test may want to see; the checksum is checked, not returned.
    std::uint16_t identification{0};
    std::uint16_t flagsAndOffset{0};
    std::uint8_t ttl{0};
    std::uint16_t udpChecksum{0};
    std::vector<std::uint8_t> payload;
};

struct PcapReadResult
{
    std::vector<PcapUdpRecord> records; // those read before any error
    std::optional<std::string> error;   // the first problem, with the record's index
};

// Checks the magic (0xa1b2c3d4, either byte order), link type 101, and in every record: incl_len equal to
// orig_len and within the data, IPv4 version 4, total length equal to the record, a valid header
// checksum, protocol 17 and a UDP length equal to what follows the IPv4 header.
PcapReadResult ParsePcap(std::span<const std::uint8_t> data);
// The whole file through ParsePcap; an error when it cannot be read.
PcapReadResult ReadPcapFile(const std::string& path);
