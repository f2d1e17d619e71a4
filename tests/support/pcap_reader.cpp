#include "tests/support/pcap_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t FILE_HEADER_SIZE = 24;
constexpr std::size_t RECORD_HEADER_SIZE = 16;
constexpr std::size_t IPV4_MIN_HEADER = 20;
constexpr std::size_t UDP_HEADER_SIZE = 8;
constexpr std::uint32_t LINKTYPE_RAW = 101;

std::uint16_t Be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t Be32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(Be16(p)) << 16 | Be16(p + 2);
}

std::uint32_t Le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[3]) << 24 | static_cast<std::uint32_t>(p[2]) << 16 |
           static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

// Zero over a header whose checksum field is right.
std::uint16_t OnesComplementSum(std::span<const std::uint8_t> header)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < header.size(); i += 2)
        sum += Be16(header.data() + i);
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

} // namespace

PcapReadResult ParsePcap(std::span<const std::uint8_t> data)
{
    PcapReadResult result;
    const auto fail = [&](std::string text) {
        result.error = std::move(text);
        return result;
    };
    if (data.size() < FILE_HEADER_SIZE)
        return fail("file header: " + std::to_string(data.size()) + " bytes, 24 needed");
    bool swapped = false;
    if (Le32(data.data()) == 0xA1B2C3D4)
        swapped = false;
    else if (Be32(data.data()) == 0xA1B2C3D4)
        swapped = true;
    else
        return fail("file header: not the magic of a classic microsecond pcap");
    const auto u32 = [&](const std::uint8_t* p) { return swapped ? Be32(p) : Le32(p); };
    if (const std::uint32_t linktype = u32(data.data() + 20); linktype != LINKTYPE_RAW)
        return fail("file header: link type " + std::to_string(linktype) + ", 101 expected");

    std::size_t at = FILE_HEADER_SIZE;
    while (at < data.size()) {
        const std::string where = "record " + std::to_string(result.records.size()) + ": ";
        if (data.size() - at < RECORD_HEADER_SIZE)
            return fail(where + "record header cut short");
        const std::uint8_t* header = data.data() + at;
        const std::uint32_t inclLen = u32(header + 8);
        const std::uint32_t origLen = u32(header + 12);
        at += RECORD_HEADER_SIZE;
        if (inclLen != origLen)
            return fail(where + "captured " + std::to_string(inclLen) + " of " + std::to_string(origLen) +
                        " bytes");
        if (data.size() - at < inclLen)
            return fail(where + "packet cut short");
        const auto packet = data.subspan(at, inclLen);
        at += inclLen;

        if (packet.size() < IPV4_MIN_HEADER || (packet[0] >> 4) != 4)
            return fail(where + "not an IPv4 packet");
        const std::size_t ipHeaderSize = (packet[0] & 0x0FU) * 4U;
        if (ipHeaderSize < IPV4_MIN_HEADER || packet.size() < ipHeaderSize + UDP_HEADER_SIZE)
            return fail(where + "IPv4 header length " + std::to_string(ipHeaderSize) + " does not fit");
        if (Be16(packet.data() + 2) != packet.size())
            return fail(where + "IPv4 total length " + std::to_string(Be16(packet.data() + 2)) +
                        ", record has " + std::to_string(packet.size()));
        if (OnesComplementSum(packet.first(ipHeaderSize)) != 0)
            return fail(where + "bad IPv4 header checksum");
        if (packet[9] != 17)
            return fail(where + "IP protocol " + std::to_string(packet[9]) + ", 17 (UDP) expected");
        const auto udp = packet.subspan(ipHeaderSize);
        if (Be16(udp.data() + 4) != udp.size())
            return fail(where + "UDP length " + std::to_string(Be16(udp.data() + 4)) + ", " +
                        std::to_string(udp.size()) + " bytes follow the IPv4 header");

        PcapUdpRecord record;
        record.timeUs = static_cast<std::int64_t>(u32(header)) * 1'000'000 + u32(header + 4);
        record.identification = Be16(packet.data() + 4);
        record.flagsAndOffset = Be16(packet.data() + 6);
        record.ttl = packet[8];
        record.sourceAddress = Be32(packet.data() + 12);
        record.destinationAddress = Be32(packet.data() + 16);
        record.sourcePort = Be16(udp.data());
        record.destinationPort = Be16(udp.data() + 2);
        record.udpChecksum = Be16(udp.data() + 6);
        record.payload.assign(udp.begin() + UDP_HEADER_SIZE, udp.end());
        result.records.push_back(std::move(record));
    }
    return result;
}

PcapReadResult ReadPcapFile(const std::string& path)
{
    PcapReadResult result;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        result.error = "cannot open " + path + ": " + std::strerror(errno);
        return result;
    }
    std::vector<std::uint8_t> data;
    std::uint8_t chunk[65536];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        result.error = "cannot read " + path + ": " + std::strerror(error);
        return result;
    }
    return ParsePcap(data);
}
