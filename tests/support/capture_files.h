#pragma once

#include "protocol/endpoint.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Capture files of every link type the replay reads, built byte by byte for tests: the IPv4 and UDP
// headers come from the pcap writer, the link headers and the file header from here.

enum class TestLink
{
    Raw,      // 101
    Ethernet, // 1
    Vlan,     // 1, one 802.1Q tag
    QinQ,     // 1, an 802.1ad tag and an 802.1Q tag
    Sll,      // 113
    Sll2,     // 276
    NullLittle, // 0, family in little-endian order
    LoopBig,    // 108, family in network order
};

inline constexpr std::uint16_t ETHERTYPE_IP = 0x0800;
inline constexpr std::uint16_t ETHERTYPE_ARP = 0x0806;
inline constexpr std::uint16_t ETHERTYPE_IP6 = 0x86DD;

struct TestRecord
{
    std::int64_t timeUs{0};
    std::string bytes;      // from the link header on
    std::size_t cutBy{0};   // bytes the snap length left out of the record
};

// An IPv4 header and a UDP header around the payload.
std::string Ipv4Udp(const veltrano::Endpoint& from, const veltrano::Endpoint& to,
                    std::span<const std::uint8_t> payload);
// The same packet with another IPv4 protocol (6 TCP, 1 ICMP), or as a first fragment.
std::string WithProtocol(std::string ipv4, std::uint8_t protocol);
std::string AsFragment(std::string ipv4);
// A 40-byte IPv6 header with a UDP header after it.
std::string Ipv6Udp();

int LinkTypeOf(TestLink link);
// The link header of `link` before a network packet of `ethertype` (ignored by the raw link).
std::string Framed(TestLink link, std::string packet, std::uint16_t ethertype = ETHERTYPE_IP);

// A classic pcap file, microsecond or nanosecond timestamps (the latter from the microseconds given).
std::string PcapFile(int linkType, const std::vector<TestRecord>& records, bool nanoseconds = false);
bool WriteBytes(const std::string& path, const std::string& bytes);
