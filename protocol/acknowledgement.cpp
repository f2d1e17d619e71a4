#include "protocol/acknowledgement.h"

#include <algorithm>

namespace veltrano {

std::variant<AckFrame, NoAck> AcknowledgementFor(std::span<const std::uint8_t> datagram)
{
    if (datagram.empty())
        return NoAck::Empty;
    if (datagram.size() > FRAME_BUFFER_SIZE)
        return NoAck::Oversize;
    AckFrame ack{};
    std::copy_n(datagram.begin(), std::min(datagram.size(), ack.size() - 1), ack.begin());
    if (ack[FRAME_COMMAND] >= ACK_FLAG)
        return NoAck::Acknowledgement;
    ack[FRAME_LENGTH] = ACK_FRAME_LENGTH;
    ack[FRAME_COMMAND] |= ACK_FLAG;
    ack[ACK_FRAME_LENGTH - 1] = FrameChecksum(ack);
    return ack;
}

bool IsAcknowledgement(std::span<const std::uint8_t> datagram)
{
    return datagram.size() > FRAME_COMMAND && datagram[FRAME_COMMAND] >= ACK_FLAG;
}

std::uint64_t AckPairingKey(std::span<const std::uint8_t> datagram)
{
    std::uint64_t key = 0;
    for (std::size_t i = FRAME_COMM_NO; i <= FRAME_COMMAND; ++i) {
        const std::uint8_t byte = i < datagram.size() ? datagram[i] : 0;
        key = key << 8 | (i == FRAME_COMMAND ? (byte | ACK_FLAG) : byte);
    }
    return key;
}

} // namespace veltrano
