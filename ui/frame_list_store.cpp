#include "ui/frame_list_store.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kChunkSize = std::size_t{1} << 20;
constexpr unsigned kOffsetBits = 20; // a record starts inside the first MiB of its chunk
constexpr std::size_t kIndexBlockShift = 14;
constexpr std::size_t kIndexBlockSize = std::size_t{1} << kIndexBlockShift;

// Record header: 1 to 255 is the byte count of a frame line; 0 starts a text record, followed by its
// 32-bit length and the UTF-8 bytes.
constexpr std::uint8_t kTextRecord = 0;
constexpr std::size_t kMaxFrameGroups = 255;

constexpr std::array<char, 16> kHexDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                          '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

int UpperHexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The bytes of a frame line, or false when the line has another form and must be kept as text.
bool DecodeFrameLine(std::string_view line, std::uint8_t* out, std::size_t& count)
{
    if (line.empty() || line.size() % 3 != 0 || line.size() / 3 > kMaxFrameGroups)
        return false;
    count = line.size() / 3;
    for (std::size_t i = 0; i < count; ++i) {
        const char* group = line.data() + i * 3;
        const int high = UpperHexValue(group[1]);
        const int low = UpperHexValue(group[2]);
        if (group[0] != ' ' || high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

} // namespace

void FrameListStore::Append(std::string_view line)
{
    std::array<std::uint8_t, kMaxFrameGroups> bytes{};
    std::size_t count = 0;
    if (DecodeFrameLine(line, bytes.data(), count)) {
        std::uint8_t* record = Reserve(1 + count);
        record[0] = static_cast<std::uint8_t>(count);
        std::memcpy(record + 1, bytes.data(), count);
    } else {
        const auto length = static_cast<std::uint32_t>(
            std::min<std::size_t>(line.size(), std::numeric_limits<std::uint32_t>::max()));
        std::uint8_t* record = Reserve(1 + sizeof length + length);
        record[0] = kTextRecord;
        std::memcpy(record + 1, &length, sizeof length);
        std::memcpy(record + 1 + sizeof length, line.data(), length);
    }
}

void FrameListStore::Clear()
{
    m_chunks.clear();
    m_chunks.shrink_to_fit();
    m_indexBlocks.clear();
    m_indexBlocks.shrink_to_fit();
    m_count = 0;
}

QString FrameListStore::Text(std::size_t row) const
{
    if (row >= m_count)
        return {};
    const std::uint64_t location = Location(row);
    const Chunk& chunk = m_chunks[location >> kOffsetBits];
    const std::uint8_t* record = chunk.data.get() + (location & ((std::uint64_t{1} << kOffsetBits) - 1));
    if (record[0] == kTextRecord) {
        std::uint32_t length = 0;
        std::memcpy(&length, record + 1, sizeof length);
        return QString::fromUtf8(reinterpret_cast<const char*>(record + 1 + sizeof length),
                                 static_cast<qsizetype>(length));
    }
    const std::size_t count = record[0];
    QString text(static_cast<qsizetype>(count * 3), Qt::Uninitialized);
    QChar* out = text.data();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = record[1 + i];
        *out++ = QLatin1Char(' ');
        *out++ = QLatin1Char(kHexDigits[byte >> 4]);
        *out++ = QLatin1Char(kHexDigits[byte & 0x0F]);
    }
    return text;
}

std::size_t FrameListStore::AllocatedBytes() const
{
    std::size_t total = m_chunks.capacity() * sizeof(Chunk) +
                        m_indexBlocks.capacity() * sizeof(std::unique_ptr<std::uint64_t[]>) +
                        m_indexBlocks.size() * kIndexBlockSize * sizeof(std::uint64_t);
    for (const Chunk& chunk : m_chunks)
        total += chunk.capacity;
    return total;
}

std::uint8_t* FrameListStore::Reserve(std::size_t recordSize)
{
    if (m_chunks.empty() || m_chunks.back().capacity - m_chunks.back().used < recordSize) {
        // A record longer than a chunk gets a chunk of its own.
        const std::size_t capacity = std::max(kChunkSize, recordSize);
        m_chunks.push_back({std::make_unique_for_overwrite<std::uint8_t[]>(capacity), capacity, 0});
    }
    Chunk& chunk = m_chunks.back();
    const std::uint64_t location =
        (static_cast<std::uint64_t>(m_chunks.size() - 1) << kOffsetBits) | chunk.used;
    std::uint8_t* record = chunk.data.get() + chunk.used;
    chunk.used += recordSize;
    AddIndex(location);
    return record;
}

void FrameListStore::AddIndex(std::uint64_t location)
{
    const std::size_t slot = m_count & (kIndexBlockSize - 1);
    if (slot == 0)
        m_indexBlocks.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(kIndexBlockSize));
    m_indexBlocks.back()[slot] = location;
    ++m_count;
}

std::uint64_t FrameListStore::Location(std::size_t row) const
{
    return m_indexBlocks[row >> kIndexBlockShift][row & (kIndexBlockSize - 1)];
}
