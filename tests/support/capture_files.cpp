#include "tests/support/capture_files.h"

#include "protocol/pcap_writer.h"

#include <fstream>

using namespace veltrano;

namespace {

constexpr std::size_t RECORD_HEADER = 16;

void Put16(std::string& out, std::uint16_t value)
{
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value & 0xFF));
}
void Put32(std::string& out, std::uint32_t value)
{
    Put16(out, static_cast<std::uint16_t>(value >> 16));
    Put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
}
void Put32Little(std::string& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
void Put16Little(std::string& out, std::uint16_t value)
{
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

} // namespace

std::string Ipv4Udp(const Endpoint& from, const Endpoint& to, std::span<const std::uint8_t> payload)
{
    std::string record;
    AppendPcapRecord(record, {0, from.address, from.port, to.address, to.port, payload});
    return record.substr(RECORD_HEADER);
}

std::string WithProtocol(std::string ipv4, std::uint8_t protocol)
{
    ipv4[9] = static_cast<char>(protocol);
    return ipv4;
}

std::string AsFragment(std::string ipv4)
{
    ipv4[6] = 0x20; // more fragments, offset 0
    ipv4[7] = 0x00;
    return ipv4;
}

std::string Ipv6Udp()
{
    std::string packet(48, '\0');
    packet[0] = 0x60;
    packet[5] = 8;  // payload length
    packet[6] = 17; // next header: UDP
    packet[7] = 64;
    return packet;
}

int LinkTypeOf(TestLink link)
{
    switch (link) {
    case TestLink::Raw: return 101;
    case TestLink::Ethernet:
    case TestLink::Vlan:
    case TestLink::QinQ: return 1;
    case TestLink::Sll: return 113;
    case TestLink::Sll2: return 276;
    case TestLink::NullLittle: return 0;
    case TestLink::LoopBig: return 108;
    }
    return -1;
}

std::string Framed(TestLink link, std::string packet, std::uint16_t ethertype)
{
    std::string out;
    const std::string macs(12, '\x02');
    switch (link) {
    case TestLink::Raw: break;
    case TestLink::Ethernet: out = macs; break;
    case TestLink::Vlan:
        out = macs;
        Put16(out, 0x8100);
        Put16(out, 7);
        break;
    case TestLink::QinQ:
        out = macs;
        Put16(out, 0x88A8);
        Put16(out, 100);
        Put16(out, 0x8100);
        Put16(out, 7);
        break;
    case TestLink::Sll:
        Put16(out, 0);      // packet type: to us
        Put16(out, 772);    // ARPHRD_LOOPBACK
        Put16(out, 6);      // address length
        out.append(8, '\0'); // address
        Put16(out, ethertype);
        return out + packet;
    case TestLink::Sll2:
        Put16(out, ethertype);
        Put16(out, 0);   // reserved
        Put32(out, 1);   // interface index
        Put16(out, 772); // ARPHRD_LOOPBACK
        out.push_back(0); // packet type
        out.push_back(6); // address length
        out.append(8, '\0');
        return out + packet;
    case TestLink::NullLittle:
        Put32Little(out, ethertype == ETHERTYPE_IP ? 2 : ethertype == ETHERTYPE_IP6 ? 30 : 99);
        return out + packet;
    case TestLink::LoopBig:
        Put32(out, ethertype == ETHERTYPE_IP ? 2 : ethertype == ETHERTYPE_IP6 ? 24 : 99);
        return out + packet;
    }
    if (link != TestLink::Raw)
        Put16(out, ethertype);
    return out + packet;
}

std::string PcapFile(int linkType, const std::vector<TestRecord>& records, bool nanoseconds)
{
    std::string out;
    Put32Little(out, nanoseconds ? 0xA1B23C4D : 0xA1B2C3D4);
    Put16Little(out, 2);
    Put16Little(out, 4);
    Put32Little(out, 0);
    Put32Little(out, 0);
    Put32Little(out, 65535);
    Put32Little(out, static_cast<std::uint32_t>(linkType));
    for (const TestRecord& record : records) {
        const auto seconds = static_cast<std::uint32_t>(record.timeUs / 1'000'000);
        const auto fraction = static_cast<std::uint32_t>(record.timeUs % 1'000'000);
        const auto kept = static_cast<std::uint32_t>(record.bytes.size() - record.cutBy);
        Put32Little(out, seconds);
        Put32Little(out, nanoseconds ? fraction * 1000 : fraction);
        Put32Little(out, kept);
        Put32Little(out, static_cast<std::uint32_t>(record.bytes.size()));
        out.append(record.bytes, 0, kept);
    }
    return out;
}

bool WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}
