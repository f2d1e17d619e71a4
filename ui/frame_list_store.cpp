#include "ui/frame_list_store.h"

#include "protocol/acknowledgement.h"
#include "protocol/frame.h"
#include "protocol/frame_decoder.h"

#include <algorithm>
#include <cstring>

using namespace veltrano;

namespace {

constexpr std::size_t CHUNK_SIZE = std::size_t{1} << 20;
constexpr unsigned OFFSET_BITS = 20; // a record starts inside the first MiB of its chunk
constexpr std::size_t INDEX_BLOCK_SHIFT = 14;
constexpr std::size_t INDEX_BLOCK_SIZE = std::size_t{1} << INDEX_BLOCK_SHIFT;
constexpr std::size_t MAX_FRAME_BYTES = 255;

// A record: this header, unaligned, then the frame's bytes. The partner link is the paired line's serial
// plus one (0: none) in 40 bits, enough for a line a microsecond for twelve days. A line paired as it is
// appended (the acknowledgement, always the second of a pair) holds the time between the two lines, from
// the monotonic clock, in 32 bits of microseconds before its bytes. The decoder's verdict is kept so that
// neither the counts nor the painting decode a line again.
struct RecordHeader
{
    std::int64_t timeUs{0};
    std::uint32_t address{0};
    std::uint16_t port{0};
    std::uint16_t sendError{0};
    std::uint8_t size{0};
    bool findings{false};
    std::uint64_t link{0};
};
constexpr std::size_t SEND_ERROR_OFFSET = 14;
constexpr std::size_t SIZE_OFFSET = 16;
constexpr std::size_t FLAGS_OFFSET = 17; // the flags byte: HAS_FINDINGS, HAS_ELAPSED
constexpr std::size_t LINK_OFFSET = 18;
constexpr std::size_t LINK_BYTES = 5;
constexpr std::size_t HEADER_SIZE = LINK_OFFSET + LINK_BYTES;
constexpr std::size_t ELAPSED_SIZE = 4;
// Bits of the flags byte.
constexpr std::uint8_t HAS_FINDINGS = 1;
constexpr std::uint8_t HAS_ELAPSED = 2;
constexpr std::uint64_t LINK_LIMIT = std::uint64_t{1} << (8 * LINK_BYTES);

void WriteLink(std::uint8_t* record, std::uint64_t link)
{
    for (std::size_t i = 0; i < LINK_BYTES; ++i)
        record[LINK_OFFSET + i] = static_cast<std::uint8_t>(link >> (8 * i));
}

std::uint64_t ReadLink(const std::uint8_t* record)
{
    std::uint64_t link = 0;
    for (std::size_t i = 0; i < LINK_BYTES; ++i)
        link |= std::uint64_t{record[LINK_OFFSET + i]} << (8 * i);
    return link;
}

std::uint64_t LinkTo(std::optional<std::uint64_t> serial)
{
    return serial && *serial + 1 < LINK_LIMIT ? *serial + 1 : 0;
}

void WriteElapsed(std::uint8_t* record, std::int64_t elapsedUs)
{
    const auto value = static_cast<std::uint32_t>(std::clamp<std::int64_t>(elapsedUs, 0, UINT32_MAX));
    std::memcpy(record + HEADER_SIZE, &value, ELAPSED_SIZE);
}

std::size_t BytesOffset(const std::uint8_t* record)
{
    return (record[FLAGS_OFFSET] & HAS_ELAPSED) != 0 ? HEADER_SIZE + ELAPSED_SIZE : HEADER_SIZE;
}

void WriteHeader(std::uint8_t* out, const RecordHeader& header)
{
    std::memcpy(out, &header.timeUs, 8);
    std::memcpy(out + 8, &header.address, 4);
    std::memcpy(out + 12, &header.port, 2);
    std::memcpy(out + SEND_ERROR_OFFSET, &header.sendError, 2);
    out[SIZE_OFFSET] = header.size;
    out[FLAGS_OFFSET] = header.findings ? HAS_FINDINGS : 0;
    WriteLink(out, header.link);
}

RecordHeader ReadHeader(const std::uint8_t* in)
{
    RecordHeader header;
    std::memcpy(&header.timeUs, in, 8);
    std::memcpy(&header.address, in + 8, 4);
    std::memcpy(&header.port, in + 12, 2);
    std::memcpy(&header.sendError, in + SEND_ERROR_OFFSET, 2);
    header.size = in[SIZE_OFFSET];
    header.findings = (in[FLAGS_OFFSET] & HAS_FINDINGS) != 0;
    header.link = ReadLink(in);
    return header;
}

} // namespace

void FrameListStore::Append(const LoggedFrame& frame, std::optional<LinePairing> pairing)
{
    const std::size_t size = std::min(frame.bytes.size(), MAX_FRAME_BYTES);
    std::uint8_t* record = Reserve(HEADER_SIZE + (pairing ? ELAPSED_SIZE : 0) + size);
    const std::uint64_t link = LinkTo(pairing ? std::optional(pairing->partner) : std::nullopt);
    const bool findings = !DecodeFrame(frame.bytes).findings.Empty();
    WriteHeader(record, {frame.timeUs, frame.peer.address, frame.peer.port,
                         static_cast<std::uint16_t>(std::clamp(frame.sendError, 0, 0xFFFF)),
                         static_cast<std::uint8_t>(size), findings, link});
    if (pairing) {
        record[FLAGS_OFFSET] |= HAS_ELAPSED;
        WriteElapsed(record, pairing->elapsedUs);
    }
    CopyFrameBytes(record + BytesOffset(record), frame.bytes.data(), size);

    const bool ack = IsAcknowledgement(frame.bytes);
    ++(ack ? m_counts.acknowledgements : m_counts.frames);
    if (!ack && frame.sendError == 0 && link == 0)
        ++m_counts.unanswered;
    if (frame.sendError != 0)
        ++m_counts.failedSends;
    if (findings)
        ++m_counts.withFindings;
}

void FrameListStore::Clear()
{
    m_chunks.clear();
    m_chunks.shrink_to_fit();
    m_indexBlocks.clear();
    m_indexBlocks.shrink_to_fit();
    m_firstSerial += m_count;
    m_count = 0;
    m_counts = {};
}

LoggedFrame FrameListStore::At(std::size_t row) const
{
    if (row >= m_count)
        return {};
    const std::uint8_t* record = Record(row);
    const RecordHeader header = ReadHeader(record);
    return {
        {record + BytesOffset(record), header.size}, header.timeUs, {header.address, header.port}, header.sendError};
}

bool FrameListStore::HasFindings(std::size_t row) const
{
    return row < m_count && (Record(row)[FLAGS_OFFSET] & HAS_FINDINGS) != 0;
}

QString FrameListStore::Text(std::size_t row) const
{
    if (row >= m_count)
        return {};
    return QString::fromLatin1(FormatDatagramHex(At(row).bytes));
}

std::size_t FrameListStore::AllocatedBytes() const
{
    std::size_t total = m_chunks.capacity() * sizeof(Chunk) +
                        m_indexBlocks.capacity() * sizeof(std::unique_ptr<std::uint64_t[]>) +
                        m_indexBlocks.size() * INDEX_BLOCK_SIZE * sizeof(std::uint64_t);
    for (const Chunk& chunk : m_chunks)
        total += chunk.capacity;
    return total;
}

std::optional<std::size_t> FrameListStore::RowOf(std::uint64_t serial) const
{
    if (serial < m_firstSerial || serial - m_firstSerial >= m_count)
        return std::nullopt;
    return static_cast<std::size_t>(serial - m_firstSerial);
}

std::optional<std::uint64_t> FrameListStore::Partner(std::size_t row) const
{
    if (row >= m_count)
        return std::nullopt;
    const std::uint64_t link = ReadLink(Record(row));
    return link != 0 ? std::optional(link - 1) : std::nullopt;
}

std::int64_t FrameListStore::Elapsed(std::size_t row) const
{
    if (row >= m_count)
        return 0;
    std::uint32_t value = 0;
    const std::uint8_t* record = Record(row);
    if ((record[FLAGS_OFFSET] & HAS_ELAPSED) == 0)
        return 0;
    std::memcpy(&value, record + HEADER_SIZE, ELAPSED_SIZE);
    return value;
}

void FrameListStore::SetPartner(std::uint64_t serial, std::uint64_t partner)
{
    const std::optional<std::size_t> row = RowOf(serial);
    if (!row)
        return;
    std::uint8_t* record = Record(*row);
    const std::uint64_t link = LinkTo(partner);
    if (ReadLink(record) != 0 || link == 0)
        return;
    WriteLink(record, link);
    std::uint16_t sendError = 0;
    std::memcpy(&sendError, record + SEND_ERROR_OFFSET, 2);
    const std::span<const std::uint8_t> bytes(record + BytesOffset(record), record[SIZE_OFFSET]);
    if (!IsAcknowledgement(bytes) && sendError == 0)
        --m_counts.unanswered;
}

std::uint8_t* FrameListStore::Reserve(std::size_t recordSize)
{
    if (m_chunks.empty() || m_chunks.back().capacity - m_chunks.back().used < recordSize)
        m_chunks.push_back({std::make_unique_for_overwrite<std::uint8_t[]>(CHUNK_SIZE), CHUNK_SIZE, 0});
    Chunk& chunk = m_chunks.back();
    const std::uint64_t location =
        (static_cast<std::uint64_t>(m_chunks.size() - 1) << OFFSET_BITS) | chunk.used;
    std::uint8_t* record = chunk.data.get() + chunk.used;
    chunk.used += recordSize;
    AddIndex(location);
    return record;
}

void FrameListStore::AddIndex(std::uint64_t location)
{
    const std::size_t slot = m_count & (INDEX_BLOCK_SIZE - 1);
    if (slot == 0)
        m_indexBlocks.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(INDEX_BLOCK_SIZE));
    m_indexBlocks.back()[slot] = location;
    ++m_count;
}

std::uint8_t* FrameListStore::Record(std::size_t row) const
{
    const std::uint64_t location = m_indexBlocks[row >> INDEX_BLOCK_SHIFT][row & (INDEX_BLOCK_SIZE - 1)];
    return m_chunks[location >> OFFSET_BITS].data.get() +
           (location & ((std::uint64_t{1} << OFFSET_BITS) - 1));
}
