#pragma once

#include "protocol/frame.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// UDP segmentation: one message carries a run of datagrams of one size, which the kernel routes and queues
// once and splits only at the receiving socket, each a datagram of its own there.

// Most datagrams the kernel splits from one message.
inline constexpr std::size_t MAX_UDP_SEGMENTS = 64;

// How many of the `count` datagrams from `first` on one message can carry: a run of one non-zero size
// within one message's payload, each datagram joining where `joins(j)` allows too; 1 at least.
template <typename SizeOf, typename Joins>
std::size_t SegmentRun(std::size_t first, std::size_t count, SizeOf sizeOf, Joins joins)
{
    const std::size_t size = sizeOf(first);
    std::size_t next = first + 1;
    while (size != 0 && next < count && next - first < MAX_UDP_SEGMENTS && sizeOf(next) == size &&
           (next - first + 1) * size <= veltrano::MAX_UDP_PAYLOAD && joins(next))
        ++next;
    return next - first;
}

// Room for the option that gives a message's segment size.
inline constexpr std::size_t SEGMENT_OPTION_SPACE = CMSG_SPACE(sizeof(std::uint16_t));

// Writes the option for segments of `size` bytes at `option`; the room it takes.
inline std::size_t WriteSegmentSize(cmsghdr* option, std::uint16_t size)
{
    option->cmsg_level = SOL_UDP;
    option->cmsg_type = UDP_SEGMENT;
    option->cmsg_len = CMSG_LEN(sizeof size);
    std::memcpy(CMSG_DATA(option), &size, sizeof size);
    return SEGMENT_OPTION_SPACE;
}

// The errors a send gives where the path cannot segment: one message per datagram from then on.
inline bool RefusesSegments(int error)
{
    return error == EIO || error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP;
}
