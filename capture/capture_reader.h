#pragma once

#include "protocol/endpoint.h"
#include "protocol/result.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace veltrano {

// Why a record of a capture is not replayed.
enum class SkipReason : std::uint8_t
{
    Filtered,  // the --filter expression does not match it
    LinkType,  // a link layer not read here
    NotIpv4,   // ARP and the like
    Ipv6,
    Fragment,  // one piece of a fragmented IPv4 datagram
    NotUdp,    // TCP, ICMP, ...
    Truncated, // cut short by the snap length, or its headers do not fit the record
    NotFrame,  // a UDP datagram no centre reads as a frame: empty or past the receive buffer
};
inline constexpr std::size_t SKIP_REASON_COUNT = 8;

// "filtered", "link_type", "not_ipv4", "ipv6", "fragment", "not_udp", "truncated", "not_frame".
std::string_view SkipKey(SkipReason reason);

using SkipCounts = std::array<std::uint64_t, SKIP_REASON_COUNT>;

// One IPv4 UDP datagram of the capture.
struct CaptureDatagram
{
    std::uint64_t number{0}; // the record's number in the file, counted from 1 as Wireshark shows it
    std::int64_t timeNs{0};  // since the epoch
    Endpoint source;
    Endpoint destination;
    std::span<const std::uint8_t> payload; // valid until the next Next
};

// Reads a pcap (micro- or nanosecond) or pcapng file through libpcap, one record at a time: memory stays
// the same however long the file. Link types: Ethernet (802.1Q and QinQ tags), raw IPv4, Linux cooked v1
// and v2, BSD loopback (either byte order). Records that are no IPv4 UDP datagram are counted by reason.
class CaptureReader final
{
public:
    // Nothing open when it fails: "cannot read FILE: <libpcap's reason>", or the filter's reason.
    [[nodiscard]] static Result<std::unique_ptr<CaptureReader>> Open(const std::string& path,
                                                                     const std::string& filter = {});
    // The same from an open stream, which the reader then owns and closes; `name` is for messages.
    [[nodiscard]] static Result<std::unique_ptr<CaptureReader>>
    Open(std::FILE* stream, const std::string& name, const std::string& filter = {});
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // The next datagram; nothing at the end of the file; the reason when the file is cut inside a record
    // or cannot be read further (then every later call says the same).
    [[nodiscard]] Result<std::optional<CaptureDatagram>> Next();

    std::uint64_t Records() const { return m_records; }
    const SkipCounts& Skipped() const { return m_skipped; }
    std::uint64_t SkippedTotal() const;

private:
    struct Handle;
    explicit CaptureReader(std::unique_ptr<Handle> handle, std::string name);
    // The datagram in one record's bytes, or why not.
    std::optional<SkipReason> Decode(std::span<const std::uint8_t> bytes, std::uint32_t wireLength,
                                     CaptureDatagram& datagram) const;

    std::unique_ptr<Handle> m_handle;
    std::string m_name;
    int m_linkType{0};
    std::uint64_t m_records{0};
    SkipCounts m_skipped{};
    std::optional<std::string> m_error;
};

} // namespace veltrano
