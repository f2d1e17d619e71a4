#pragma once

#include "link/ack_tracker.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace veltrano {

// Frames sent one after the other to one peer. With acknowledgements expected each waits for its own and
// goes again up to `retries` times before the next goes; one never answered is counted missing. The
// caller sends, keeps the time and waits; this keeps the order, the attempts and the counts.
class StopAndWait final
{
public:
    struct Options
    {
        Endpoint peer;
        bool expectAck{false};
        int retries{0};
    };

    StopAndWait(std::vector<std::vector<std::uint8_t>> frames, Options options);

    bool Done() const { return m_index >= m_frames.size(); }
    // The frame that goes now, counted from 0, and its attempts so far.
    std::size_t Index() const { return m_index; }
    std::span<const std::uint8_t> Current() const { return m_frames[m_index]; }
    int Attempts() const { return m_attempts; }
    // Whether the current frame waits for its acknowledgement.
    bool Waiting() const { return m_waiting; }

    // The current frame was handed over, or refused; the note of its line ("retry" past its first attempt).
    std::string_view Sent(bool handed, MonoTime now);
    // A received record, noted as the tracker does: true when it acknowledged the current frame, which
    // then waits no longer.
    bool Received(FrameRecord& record, MonoTime now);
    // The wait ran out: true when the frame goes again; false when it is given up as missing.
    bool TimedOut();
    // On to the next frame.
    void Next();

    std::uint64_t Missing() const { return m_missing; }
    // "frames", "sent", "acknowledged", "missing", "retries", "bad_acks", "unexpected", "send_failed",
    // "rtt_p50_us", "rtt_max_us", "exit".
    std::vector<RecordField> SummaryFields(std::uint64_t exitCode) const;

private:
    std::vector<std::vector<std::uint8_t>> m_frames;
    Options m_options;
    // Only the current frame ever waits: a few places in the matcher are plenty.
    AckTracker m_tracker{{64, {}}};
    AckMatcher::Ticket m_ticket{0};
    std::size_t m_index{0};
    int m_attempts{0};
    bool m_waiting{false};
    std::uint64_t m_missing{0};
    std::uint64_t m_retries{0};
};

} // namespace veltrano
