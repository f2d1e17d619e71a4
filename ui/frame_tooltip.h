#pragma once

#include "protocol/log_line.h"
#include "ui/frame_list_store.h"

#include <QString>

#include <cstddef>
#include <cstdint>

// "2026-12-08 21:48:28.123456" in local time.
QString FormatLocalTime(std::int64_t timeUs);
// "850 µs", "1.250 ms", "2.000 s".
QString FormatDuration(std::int64_t us);

// What a list line's tooltip says: local time, direction and peer, the send's failure, the decoding with
// its findings, and the line of the other list it pairs with (the acknowledgement and round-trip time of a
// sent frame, the answer to a received one). `partners` is the other list; empty outside the list.
QString FrameToolTip(const FrameListStore& list, veltrano::Direction direction, std::size_t row,
                     const FrameListStore& partners);
