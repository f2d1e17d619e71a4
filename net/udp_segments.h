#pragma once

#include "protocol/frame.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// UDP segmentation: one message carries a run of datagrams of one size, which the kernel routes and queues
// once and splits only at the receiving socket, each a datagram of its own there, unless that socket takes
// such runs whole: then one read holds the run, and the reader cuts it at the segment size it came with.

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

// Asks the kernel to hand `socket` a segmented run whole; false where it cannot, and the run is split for
// it as before. A run is one sender's datagrams to one socket, so each part has the run's source.
inline bool AcceptSegmentRuns(int socket)
{
    const int on = 1;
    return ::setsockopt(socket, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
}

// Room for the option a run comes with.
inline constexpr std::size_t RECEIVED_SEGMENT_OPTION_SPACE = CMSG_SPACE(sizeof(int));

// The segment size a received control message gives; 0 when it is another option.
inline std::size_t SegmentSizeIn(const cmsghdr& option)
{
    if (option.cmsg_level != SOL_UDP || option.cmsg_type != UDP_GRO)
        return 0;
    int size = 0;
    std::memcpy(&size, CMSG_DATA(&option), sizeof size);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

// The segment size a received message came with; 0 for a datagram on its own.
inline std::size_t ReceivedSegmentSize(msghdr& header)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (const std::size_t size = SegmentSizeIn(*c); size != 0)
            return size;
    }
    return 0;
}

// Calls `each(offset, size)` for every datagram of a received message of `size` bytes: the whole of it
// when `segment` is 0, else parts of `segment` bytes, the last the rest.
template <typename Each>
void ForEachSegment(std::size_t size, std::size_t segment, Each each)
{
    if (segment == 0 || segment >= size) {
        each(std::size_t{0}, size);
        return;
    }
    for (std::size_t offset = 0; offset < size; offset += segment)
        each(offset, std::min(segment, size - offset));
}
