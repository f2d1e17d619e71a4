#pragma once

#include "engine/console.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// The line of the other list a line pairs with, and the time between the two from the monotonic clock:
// a round trip, or how long the centre took to answer.
struct LinePairing
{
    std::uint64_t partner{0}; // its serial
    std::int64_t elapsedUs{0};
};

// What a list holds, kept up to date at every append so that showing it costs nothing.
struct FrameCounts
{
    std::size_t frames{0};           // lines that are not acknowledgements
    std::size_t acknowledgements{0}; // lines whose command has the acknowledgement bit
    std::size_t unanswered{0};       // frames that left (or arrived) and have no paired acknowledgement yet
    std::size_t failedSends{0};      // lines whose send failed
    std::size_t withFindings{0};     // lines the decoder finds something wrong with

    friend bool operator==(const FrameCounts&, const FrameCounts&) = default;
};

// Append-only store of the frames of a log list, each with when and where it went or came from and the
// line of the other list it pairs with. Records live in large arena chunks and are found through a blocked
// index, so neither an append nor a growing store ever moves what is already stored; a 12-byte frame with
// its context takes about 43 bytes.
//
// Every line ever appended has a serial number that Clear does not reuse: row 0 is FirstSerial(). A link
// to a line is its serial, so a link to a cleared line can be recognised and is never taken for a new one.
class FrameListStore final
{
public:
    FrameListStore() = default;
    ~FrameListStore() = default;
    FrameListStore(const FrameListStore&) = delete;
    FrameListStore& operator=(const FrameListStore&) = delete;

    // Keeps at most 255 bytes of the frame, and the line of the other list it pairs with.
    void Append(const LoggedFrame& frame, std::optional<LinePairing> pairing = std::nullopt);
    void Clear();

    std::size_t Count() const { return m_count; }
    // The frame as appended; its bytes stay valid until Clear. Outside the store: an empty frame.
    LoggedFrame At(std::size_t row) const;
    // Whether the decoder finds something wrong with the frame.
    bool HasFindings(std::size_t row) const;
    // The line the list shows for the frame; empty outside the store.
    QString Text(std::size_t row) const;
    // Bytes held for the frames, arena and index, reserved space included.
    std::size_t AllocatedBytes() const;

    std::uint64_t FirstSerial() const { return m_firstSerial; }
    std::uint64_t NextSerial() const { return m_firstSerial + m_count; }
    // The row of a serial; none once its line has been cleared (or before it exists).
    std::optional<std::size_t> RowOf(std::uint64_t serial) const;
    // The serial of the paired line in the other list, whether or not that line is still there.
    std::optional<std::uint64_t> Partner(std::size_t row) const;
    // The time between a line paired as it was appended and its partner (microseconds, at most 32 bits); 0
    // for any other line.
    std::int64_t Elapsed(std::size_t row) const;
    // Pairs the line of `serial`, when it is still here and unpaired; a frame that had no answer now has one.
    // The time stays with the line appended second.
    void SetPartner(std::uint64_t serial, std::uint64_t partner);

    const FrameCounts& Counts() const { return m_counts; }

private:
    struct Chunk
    {
        std::unique_ptr<std::uint8_t[]> data;
        std::size_t capacity{0};
        std::size_t used{0};
    };

    std::uint8_t* Reserve(std::size_t recordSize);
    void AddIndex(std::uint64_t location);
    // Writable for SetPartner: the arena is the store's own.
    std::uint8_t* Record(std::size_t row) const;

    std::vector<Chunk> m_chunks;
    std::vector<std::unique_ptr<std::uint64_t[]>> m_indexBlocks;
    std::size_t m_count{0};
    std::uint64_t m_firstSerial{0};
    FrameCounts m_counts;
};
