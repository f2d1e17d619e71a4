#pragma once

#include "protocol/frame.h"

#include <array>
#include <cstdint>
#include <span>
#include <variant>

namespace veltrano {

// The centre's answer to a datagram: every frame that is not itself an acknowledgement gets an 8-byte
// acknowledgement carrying its bytes 1 to 5 and its command with the acknowledgement bit set.

using AckFrame = std::array<std::uint8_t, ACK_FRAME_LENGTH>;

// Why a datagram gets no answer.
enum class NoAck : std::uint8_t
{
    Empty,           // zero bytes
    Oversize,        // longer than the 128-byte receive buffer: not read as a frame at all
    Acknowledgement, // its command has the acknowledgement bit set
};

// Bytes the datagram lacks count as zero, as in a receive buffer cleared past the datagram; so a short
// datagram is answered with zeros where its bytes end, and one of six bytes or fewer has command 0. The
// received checksum and length byte are not examined: a wrong one is answered like a right one.
std::variant<AckFrame, NoAck> AcknowledgementFor(std::span<const std::uint8_t> datagram);

// Whether the datagram is an acknowledgement: its command byte has the acknowledgement bit set.
bool IsAcknowledgement(std::span<const std::uint8_t> datagram);

// What an acknowledgement repeats of the frame it answers: bytes 1 to 5 and the command with the
// acknowledgement bit set, bytes the datagram lacks counting as zero. A frame and an acknowledgement that
// answers it give the same key; so do two frames the far side cannot tell apart.
std::uint64_t AckPairingKey(std::span<const std::uint8_t> datagram);

} // namespace veltrano
