#include "protocol/pcap_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace veltrano {

namespace {

inline constexpr std::uint32_t PCAP_MAGIC = 0xA1B2C3D4; // microsecond timestamps
inline constexpr std::uint16_t PCAP_VERSION_MAJOR = 2;
inline constexpr std::uint16_t PCAP_VERSION_MINOR = 4;
inline constexpr std::uint32_t PCAP_SNAPLEN = 65535;
inline constexpr std::uint32_t LINKTYPE_RAW = 101;

inline constexpr std::size_t IPV4_HEADER_SIZE = 20;
inline constexpr std::size_t UDP_HEADER_SIZE = 8;
inline constexpr std::size_t HEADERS_SIZE = IPV4_HEADER_SIZE + UDP_HEADER_SIZE;
// The IPv4 total length is 16 bits: the largest UDP payload it can carry.
inline constexpr std::size_t MAX_PAYLOAD = 0xFFFF - HEADERS_SIZE;
inline constexpr std::uint8_t IPV4_VERSION_IHL = 0x45;
inline constexpr std::uint16_t IPV4_DONT_FRAGMENT = 0x4000;
inline constexpr std::uint8_t IPV4_TTL = 64;
inline constexpr std::uint8_t IPPROTO_UDP_NUMBER = 17;

inline constexpr std::size_t FLUSH_THRESHOLD = 64 * 1024;

// The pcap headers are in the writer's byte order, which readers tell from the magic; little-endian here.
void PutLe16(std::string& out, std::uint16_t v)
{
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void PutLe32(std::string& out, std::uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((v >> shift) & 0xFF);
}

// The IP and UDP headers are in network order.
void PutBe16(std::uint8_t* at, std::uint16_t v)
{
    at[0] = static_cast<std::uint8_t>(v >> 8);
    at[1] = static_cast<std::uint8_t>(v & 0xFF);
}

void PutBe32(std::uint8_t* at, std::uint32_t v)
{
    PutBe16(at, static_cast<std::uint16_t>(v >> 16));
    PutBe16(at + 2, static_cast<std::uint16_t>(v & 0xFFFF));
}

// RFC 1071: the ones' complement of the ones' complement sum of the header's 16-bit words.
std::uint16_t Ipv4HeaderChecksum(const std::uint8_t* header)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < IPV4_HEADER_SIZE; i += 2)
        sum += static_cast<std::uint32_t>(header[i] << 8 | header[i + 1]);
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::string SystemError(std::string_view what, const std::string& path, int error)
{
    std::string text(what);
    text += ' ';
    text += path;
    text += ": ";
    text += std::strerror(error);
    return text;
}

} // namespace

void AppendPcapFileHeader(std::string& out)
{
    PutLe32(out, PCAP_MAGIC);
    PutLe16(out, PCAP_VERSION_MAJOR);
    PutLe16(out, PCAP_VERSION_MINOR);
    PutLe32(out, 0); // thiszone: timestamps are UTC
    PutLe32(out, 0); // sigfigs
    PutLe32(out, PCAP_SNAPLEN);
    PutLe32(out, LINKTYPE_RAW);
}

void AppendPcapRecord(std::string& out, const CapturedDatagram& datagram, std::uint16_t identification)
{
    const auto payload = datagram.payload.first(std::min(datagram.payload.size(), MAX_PAYLOAD));
    const auto packetSize = static_cast<std::uint32_t>(HEADERS_SIZE + payload.size());

    const std::int64_t timeUs = std::max<std::int64_t>(datagram.timeUs, 0);
    const std::int64_t seconds =
        std::min<std::int64_t>(timeUs / 1'000'000, std::numeric_limits<std::uint32_t>::max());
    PutLe32(out, static_cast<std::uint32_t>(seconds));
    PutLe32(out, static_cast<std::uint32_t>(timeUs % 1'000'000));
    PutLe32(out, packetSize); // incl_len
    PutLe32(out, packetSize); // orig_len

    std::uint8_t headers[HEADERS_SIZE]{};
    std::uint8_t* ip = headers;
    ip[0] = IPV4_VERSION_IHL;
    PutBe16(ip + 2, static_cast<std::uint16_t>(packetSize));
    PutBe16(ip + 4, identification);
    PutBe16(ip + 6, IPV4_DONT_FRAGMENT);
    ip[8] = IPV4_TTL;
    ip[9] = IPPROTO_UDP_NUMBER;
    PutBe32(ip + 12, datagram.sourceAddress);
    PutBe32(ip + 16, datagram.destinationAddress);
    PutBe16(ip + 10, Ipv4HeaderChecksum(ip));

    std::uint8_t* udp = headers + IPV4_HEADER_SIZE;
    PutBe16(udp, datagram.sourcePort);
    PutBe16(udp + 2, datagram.destinationPort);
    PutBe16(udp + 4, static_cast<std::uint16_t>(UDP_HEADER_SIZE + payload.size()));
    // Bytes 6 and 7, the UDP checksum, stay 0: none computed.

    out.append(reinterpret_cast<const char*>(headers), sizeof headers);
    out.append(reinterpret_cast<const char*>(payload.data()), payload.size());
}

PcapFileWriter::~PcapFileWriter()
{
    (void)Close();
}

Status PcapFileWriter::Open(const std::string& path)
{
    if (m_file != nullptr)
        return Failure("cannot open " + path + ": " + m_path + " is still open");
    m_error.reset();
    m_buffer.clear();
    m_identification = 0;
    m_path = path;
    m_file = std::fopen(path.c_str(), "wb");
    if (m_file == nullptr)
        return Failure(SystemError("cannot open", path, errno));
    // Records are gathered in m_buffer; the stream's own buffer would only copy them twice.
    std::setvbuf(m_file, nullptr, _IONBF, 0);
    AppendPcapFileHeader(m_buffer);
    if (!Flush())
        return Close(); // the error, and nothing left open
    return {};
}

Status PcapFileWriter::Write(const CapturedDatagram& datagram)
{
    if (m_file == nullptr)
        return Failure("cannot write: no pcap file is open");
    if (m_error)
        return Failure(*m_error);
    AppendPcapRecord(m_buffer, datagram, m_identification++);
    if (m_buffer.size() >= FLUSH_THRESHOLD)
        return Flush();
    return {};
}

Status PcapFileWriter::Flush()
{
    if (m_file == nullptr)
        return m_error ? Status(Failure(*m_error)) : Status();
    if (!m_error && !m_buffer.empty()) {
        errno = 0;
        const std::size_t written = std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file);
        if (written != m_buffer.size())
            m_error = SystemError("cannot write", m_path, errno != 0 ? errno : EIO);
        m_buffer.clear();
    }
    if (!m_error && std::fflush(m_file) != 0)
        m_error = SystemError("cannot write", m_path, errno);
    return m_error ? Status(Failure(*m_error)) : Status();
}

Status PcapFileWriter::Close()
{
    if (m_file == nullptr)
        return {};
    (void)Flush();
    if (std::fclose(m_file) != 0 && !m_error)
        m_error = SystemError("cannot close", m_path, errno);
    m_file = nullptr;
    m_buffer.clear();
    if (auto error = std::exchange(m_error, std::nullopt))
        return Failure(std::move(*error));
    return {};
}

} // namespace veltrano
