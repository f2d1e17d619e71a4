#include "capture/capture_reader.h"
#include "protocol/enum_table.h"

#include "protocol/frame.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <variant>

namespace veltrano {

namespace {

// Link types as pcap_datalink gives them; the raw ones have several numbers across systems.
constexpr int LINK_NULL = 0;
constexpr int LINK_ETHERNET = 1;
constexpr int LINK_RAW = 12;
constexpr int LINK_RAW_OPENBSD = 14;
constexpr int LINK_RAW_FILE = 101;
constexpr int LINK_LOOP = 108;
constexpr int LINK_SLL = 113;
constexpr int LINK_IPV4 = 228;
constexpr int LINK_SLL2 = 276;

constexpr std::uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr std::uint16_t ETHERTYPE_IPV6 = 0x86DD;
constexpr std::uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr std::uint16_t ETHERTYPE_QINQ = 0x88A8;
constexpr std::uint16_t ETHERTYPE_QINQ_OLD = 0x9100;
constexpr std::size_t MAX_VLAN_TAGS = 4;

constexpr std::size_t ETHERNET_HEADER = 14;
constexpr std::size_t VLAN_TAG = 4;
constexpr std::size_t SLL_HEADER = 16;
constexpr std::size_t SLL2_HEADER = 20;
constexpr std::size_t NULL_HEADER = 4;
constexpr std::size_t IPV4_HEADER = 20;
constexpr std::size_t UDP_HEADER = 8;
constexpr std::uint8_t PROTOCOL_UDP = 17;

std::uint16_t Be16(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
std::uint32_t Be32(std::span<const std::uint8_t> b, std::size_t at)
{
    return (std::uint32_t{Be16(b, at)} << 16) | Be16(b, at + 2);
}

// Where the network layer starts and what it is: an ethertype.
struct NetworkLayer
{
    std::size_t offset{0};
    std::uint16_t type{0};
};

std::uint16_t FromVersion(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    if (bytes.size() <= offset)
        return 0;
    const int version = bytes[offset] >> 4;
    return version == 4 ? ETHERTYPE_IPV4 : version == 6 ? ETHERTYPE_IPV6 : 0;
}

std::variant<NetworkLayer, SkipReason> FindNetworkLayer(int linkType, std::span<const std::uint8_t> bytes)
{
    switch (linkType) {
    case LINK_ETHERNET: {
        if (bytes.size() < ETHERNET_HEADER)
            return SkipReason::Truncated;
        std::size_t at = 12;
        std::uint16_t type = Be16(bytes, at);
        for (std::size_t tags = 0;
             (type == ETHERTYPE_VLAN || type == ETHERTYPE_QINQ || type == ETHERTYPE_QINQ_OLD); ++tags) {
            if (tags == MAX_VLAN_TAGS)
                return SkipReason::NotIpv4;
            at += VLAN_TAG;
            if (bytes.size() < at + 2)
                return SkipReason::Truncated;
            type = Be16(bytes, at);
        }
        return NetworkLayer{at + 2, type};
    }
    case LINK_RAW:
    case LINK_RAW_OPENBSD:
    case LINK_RAW_FILE:
    case LINK_IPV4:
        return NetworkLayer{0, FromVersion(bytes, 0)};
    case LINK_SLL:
        if (bytes.size() < SLL_HEADER)
            return SkipReason::Truncated;
        return NetworkLayer{SLL_HEADER, Be16(bytes, 14)};
    case LINK_SLL2:
        if (bytes.size() < SLL2_HEADER)
            return SkipReason::Truncated;
        return NetworkLayer{SLL2_HEADER, Be16(bytes, 0)};
    case LINK_NULL:
    case LINK_LOOP: {
        if (bytes.size() < NULL_HEADER)
            return SkipReason::Truncated;
        // The family in the byte order of the machine that captured: AF_INET is 2 everywhere, AF_INET6
        // differs by system.
        std::uint32_t family = Be32(bytes, 0);
        if (family > 0xFFFF)
            family = __builtin_bswap32(family);
        if (family == 2)
            return NetworkLayer{NULL_HEADER, ETHERTYPE_IPV4};
        if (family == 10 || family == 24 || family == 28 || family == 30)
            return NetworkLayer{NULL_HEADER, ETHERTYPE_IPV6};
        return SkipReason::NotIpv4;
    }
    default:
        return SkipReason::LinkType;
    }
}

} // namespace

std::string_view SkipKey(SkipReason reason)
{
    // In SkipReason order.
    static constexpr std::string_view KEYS[] = {"filtered", "link_type", "not_ipv4",  "ipv6",
                                                "fragment", "not_udp",   "truncated", "not_frame"};
    static_assert(std::size(KEYS) == SKIP_REASON_COUNT);
    return RowOf(KEYS, reason);
}

struct CaptureReader::Handle
{
    pcap_t* pcap{nullptr};
    bpf_program filter{};
    bool filtered{false};

    ~Handle()
    {
        if (filtered)
            pcap_freecode(&filter);
        if (pcap != nullptr)
            pcap_close(pcap);
    }
};

namespace {

Result<std::unique_ptr<CaptureReader>> Failed(const std::string& name, std::string_view reason)
{
    return Failure("cannot read " + name + ": " + std::string(reason));
}

constexpr std::size_t READ_BUFFER_BYTES = 256 * 1024;

} // namespace

Result<std::unique_ptr<CaptureReader>> CaptureReader::Open(const std::string& path, const std::string& filter)
{
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr)
        return Failed(path, std::strerror(errno));
    // Records are small: a larger buffer reads a capture in a few dozen calls rather than thousands.
    std::setvbuf(stream, nullptr, _IOFBF, READ_BUFFER_BYTES);
    return Open(stream, path, filter);
}

Result<std::unique_ptr<CaptureReader>> CaptureReader::Open(std::FILE* stream, const std::string& name,
                                                           const std::string& filter)
{
    auto handle = std::make_unique<Handle>();
    char error[PCAP_ERRBUF_SIZE] = {};
    handle->pcap = pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_NANO, error);
    if (handle->pcap == nullptr) {
        std::fclose(stream);
        return Failed(name, error);
    }
    if (!filter.empty()) {
        // Applied by the reader rather than by libpcap, so that records the filter passes over keep their
        // numbers.
        if (pcap_compile(handle->pcap, &handle->filter, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0)
            return Failure("bad filter \"" + filter + "\": " + pcap_geterr(handle->pcap));
        handle->filtered = true;
    }
    const int linkType = pcap_datalink(handle->pcap);
    std::unique_ptr<CaptureReader> reader(new CaptureReader(std::move(handle), name));
    reader->m_linkType = linkType;
    return reader;
}

CaptureReader::CaptureReader(std::unique_ptr<Handle> handle, std::string name)
    : m_handle(std::move(handle)), m_name(std::move(name))
{
}

CaptureReader::~CaptureReader() = default;

std::uint64_t CaptureReader::SkippedTotal() const
{
    std::uint64_t total = 0;
    for (std::uint64_t count : m_skipped)
        total += count;
    return total;
}

Result<std::optional<CaptureDatagram>> CaptureReader::Next()
{
    if (m_error)
        return Failure(*m_error);
    for (;;) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int got = pcap_next_ex(m_handle->pcap, &header, &data);
        if (got == PCAP_ERROR_BREAK)
            return std::optional<CaptureDatagram>{};
        if (got != 1) {
            m_error = m_name + " is cut after record " + std::to_string(m_records) + ": " +
                      pcap_geterr(m_handle->pcap);
            return Failure(*m_error);
        }
        ++m_records;
        if (m_handle->filtered && pcap_offline_filter(&m_handle->filter, header, data) == 0) {
            ++m_skipped[static_cast<std::size_t>(SkipReason::Filtered)];
            continue;
        }
        CaptureDatagram datagram;
        datagram.number = m_records;
        // A file may claim any second; one beyond what nanoseconds in 64 bits hold is clamped, not wrapped.
        constexpr std::int64_t LAST_SECOND = INT64_MAX / 1'000'000'000 - 1;
        const std::int64_t seconds = std::clamp<std::int64_t>(header->ts.tv_sec, -LAST_SECOND, LAST_SECOND);
        datagram.timeNs = seconds * 1'000'000'000 + header->ts.tv_usec;
        if (auto skip = Decode({data, header->caplen}, header->len, datagram)) {
            ++m_skipped[static_cast<std::size_t>(*skip)];
            continue;
        }
        return std::optional<CaptureDatagram>{datagram};
    }
}

std::optional<SkipReason> CaptureReader::Decode(std::span<const std::uint8_t> bytes, std::uint32_t wireLength,
                                                CaptureDatagram& datagram) const
{
    auto found = FindNetworkLayer(m_linkType, bytes);
    if (auto* skip = std::get_if<SkipReason>(&found))
        return *skip;
    const NetworkLayer layer = std::get<NetworkLayer>(found);
    if (layer.type == ETHERTYPE_IPV6)
        return SkipReason::Ipv6;
    if (layer.type != ETHERTYPE_IPV4)
        return SkipReason::NotIpv4;
    const auto ip = bytes.subspan(layer.offset);
    if (ip.size() < IPV4_HEADER)
        return SkipReason::Truncated;
    const std::size_t headerLength = std::size_t{ip[0] & 0x0Fu} * 4;
    if ((ip[0] >> 4) != 4 || headerLength < IPV4_HEADER)
        return SkipReason::NotIpv4;
    const std::size_t totalLength = Be16(ip, 2);
    // More fragments, or an offset: a piece of a datagram.
    if ((Be16(ip, 6) & 0x3FFF) != 0)
        return SkipReason::Fragment;
    if (ip[9] != PROTOCOL_UDP)
        return SkipReason::NotUdp;
    if (bytes.size() < wireLength || totalLength > ip.size() || totalLength < headerLength + UDP_HEADER)
        return SkipReason::Truncated;
    const auto udp = ip.subspan(headerLength, totalLength - headerLength);
    const std::size_t udpLength = Be16(udp, 4);
    if (udpLength < UDP_HEADER || udpLength > udp.size())
        return SkipReason::Truncated;
    datagram.source = {Be32(ip, 12), Be16(udp, 0)};
    datagram.destination = {Be32(ip, 16), Be16(udp, 2)};
    datagram.payload = udp.subspan(UDP_HEADER, udpLength - UDP_HEADER);
    if (datagram.payload.empty() || datagram.payload.size() > FRAME_BUFFER_SIZE)
        return SkipReason::NotFrame;
    return std::nullopt;
}

} // namespace veltrano
