#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

// Append-only store of display lines. A frame line (" XX XX ...", one to 255 upper-case groups) is kept
// as its bytes, which costs about a tenth of the text; any other line is kept as UTF-8 text. Records
// live in large arena chunks and are found through a blocked index, so neither an append nor a growing
// store ever moves what is already stored.
class FrameListStore final
{
public:
    FrameListStore() = default;
    ~FrameListStore() = default;
    FrameListStore(const FrameListStore&) = delete;
    FrameListStore& operator=(const FrameListStore&) = delete;

    void Append(std::string_view line);
    void Clear();

    std::size_t Count() const { return m_count; }
    // The line exactly as appended; empty outside the store.
    QString Text(std::size_t row) const;
    // Bytes held for the lines, arena and index, reserved space included.
    std::size_t AllocatedBytes() const;

private:
    struct Chunk
    {
        std::unique_ptr<std::uint8_t[]> data;
        std::size_t capacity{0};
        std::size_t used{0};
    };

    std::uint8_t* Reserve(std::size_t recordSize);
    void AddIndex(std::uint64_t location);
    std::uint64_t Location(std::size_t row) const;

    std::vector<Chunk> m_chunks;
    std::vector<std::unique_ptr<std::uint64_t[]>> m_indexBlocks;
    std::size_t m_count{0};
};
