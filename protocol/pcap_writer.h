#pragma once

#include "protocol/result.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

namespace veltrano {

// Classic pcap files (microsecond timestamps, link type RAW = 101): each record is an IPv4 header and a UDP
// header built from the real addresses and ports, then the datagram. Wireshark and tshark read them as UDP.

struct CapturedDatagram
{
    // Wall clock, microseconds since the Unix epoch. Written as 32-bit seconds and microseconds: a
    // negative time is written as 0, one past 2106 as the largest second.
    std::int64_t timeUs{0};
    std::uint32_t sourceAddress{0};      // IPv4, host byte order
    std::uint16_t sourcePort{0};         // host byte order
    std::uint32_t destinationAddress{0}; // IPv4, host byte order
    std::uint16_t destinationPort{0};    // host byte order
    // At most 65507 bytes, the most an IPv4 UDP datagram holds; bytes beyond are left out of the record.
    std::span<const std::uint8_t> payload;
};

// The 24-byte global header.
void AppendPcapFileHeader(std::string& out);
// One record: 16-byte record header, 20-byte IPv4 header (valid header checksum, TTL 64, DF, protocol 17),
// 8-byte UDP header (checksum 0, as IPv4 allows), the payload. The pcap headers are little-endian (readers
// tell the order from the magic), the IPv4 and UDP headers in network order. `identification` is the
// IPv4 header's field; with DF set it only needs to tell records apart, and PcapFileWriter counts it up.
void AppendPcapRecord(std::string& out, const CapturedDatagram& datagram, std::uint16_t identification = 0);

// A pcap file written record by record, for long captures. Errors come back as values: what failed, the
// path and the system's reason ("cannot write /dev/full: No space left on device"). A writer whose file
// failed stays failed: every later Write and Flush returns the first error, until Close returns it too.
// Records are buffered and written once 64 KiB have gathered, on Flush or on Close.
class PcapFileWriter final
{
public:
    PcapFileWriter() = default;
    ~PcapFileWriter();
    PcapFileWriter(const PcapFileWriter&) = delete;
    PcapFileWriter& operator=(const PcapFileWriter&) = delete;

    // Creates or truncates the file and writes the global header; the error text when it cannot, and then
    // nothing is left open. An error too when a file is already open (that file stays open).
    [[nodiscard]] Status Open(const std::string& path);
    bool IsOpen() const { return m_file != nullptr; }
    // Buffered; the error text of the first failure.
    [[nodiscard]] Status Write(const CapturedDatagram& datagram);
    // Flushes buffered records to the file.
    [[nodiscard]] Status Flush();
    // Flushes and closes; the error text when anything failed since Open. Closing a closed writer does
    // nothing; the destructor closes.
    [[nodiscard]] Status Close();

private:
    std::FILE* m_file{nullptr};
    std::string m_path;
    std::string m_buffer;
    std::optional<std::string> m_error;
    std::uint16_t m_identification{0};
};

} // namespace veltrano
