#pragma once

#include "engine/console.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Append-only store of the frames of a log list, each with when and where it went or came from. Records
// live in large arena chunks and are found through a blocked index, so neither an append nor a growing
// store ever moves what is already stored; a 12-byte frame with its context takes about 40 bytes.
class FrameListStore final
{
public:
    FrameListStore() = default;
    ~FrameListStore() = default;
    FrameListStore(const FrameListStore&) = delete;
    FrameListStore& operator=(const FrameListStore&) = delete;

    // Keeps at most 255 bytes of the frame.
    void Append(const LoggedFrame& frame);
    void Clear();

    std::size_t Count() const { return m_count; }
    // The frame as appended; its bytes stay valid until Clear. Outside the store: an empty frame.
    LoggedFrame At(std::size_t row) const;
    // The line the list shows for the frame; empty outside the store.
    QString Text(std::size_t row) const;
    // Bytes held for the frames, arena and index, reserved space included.
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
    const std::uint8_t* Record(std::size_t row) const;

    std::vector<Chunk> m_chunks;
    std::vector<std::unique_ptr<std::uint64_t[]>> m_indexBlocks;
    std::size_t m_count{0};
};
