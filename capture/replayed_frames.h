#pragma once

#include "capture/captured_exchange.h"
#include "capture/frame_verdict.h"
#include "capture/source_tally.h"
#include "link/ack_tracker.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace veltrano {

// The frames a replay sent, in the order sent, each until its verdict: from its live answer, from a spoilt
// answer, or missing when none came within the timeout or the system refused to send it. Each lane (the
// socket that stands in for captured sources) pairs the answers it receives with the frames it sent. Every
// verdict is counted, tallied per source and handed to the caller with the fields of its line.
class ReplayedFrames final
{
public:
    struct Limits
    {
        Endpoint centre; // where every frame goes
        std::chrono::milliseconds timeout{1000};
        // Frames a lane remembers while they wait; past it the oldest are given up as missing.
        std::size_t laneCapacity{2048};
        bool expectSame{false};
        std::size_t mostFailures{200}; // listed per source; the rest are counted
    };

    // A frame judged, for its line: when it went, why it was not sent if it was not, and the fields its
    // line carries ("verdict", "capture_frame", "captured_answer", "live_answer"), valid during the call.
    struct Judged
    {
        const CapturedFrame& frame;
        std::int64_t sentUs{0};
        int sendError{0};
        FrameVerdict verdict{FrameVerdict::Missing};
        std::span<const RecordField> fields;
    };
    using OnJudged = std::function<void(const Judged&)>;

    ReplayedFrames(Limits limits, OnJudged judged);
    ~ReplayedFrames();
    ReplayedFrames(const ReplayedFrames&) = delete;
    ReplayedFrames& operator=(const ReplayedFrames&) = delete;

    // Takes the next frame to send; its bytes stay put until it is judged.
    const CapturedFrame& Add(CapturedFrame frame);
    // The `count` frames last added, all of one lane, went at `at`: the first `handed` were handed over,
    // the rest refused with `error` and judged missing at once.
    void Sent(std::size_t count, std::size_t handed, int error, MonoTime at, std::int64_t wallUs);
    // A datagram received on `lane`, its note and round trip written on the record: the frame it answers,
    // by a spoilt answer too, for Answer once the record is out.
    std::optional<std::uint64_t> Received(std::size_t lane, FrameRecord& record, MonoTime now);
    // The frame's verdict from the answer that came.
    void Answer(std::uint64_t id, std::span<const std::uint8_t> live, MonoTime now);
    // Frames that waited the timeout are judged missing.
    void Expire(MonoTime now);

    // Verdicts reached from here on wait, their frames kept, until Release hands them over in order: a
    // caller that sends the next frames before it writes the lines of a batch keeps the far side busy
    // meanwhile. The counts and the room in the window change at once.
    void Hold() { m_holding = true; }
    // Verdicts reached while holding, so far.
    std::size_t Held() const { return m_held.size(); }
    // Hands over the held verdicts up to the `upTo`th, still holding.
    void Release(std::size_t upTo);
    // Hands over every held verdict and stops holding.
    void ReleaseAll();

    std::uint64_t Frames() const { return m_frames; } // sent or refused
    std::uint64_t Refused() const { return m_tracker.Totals().sendFailed; }
    std::uint64_t Outstanding() const { return m_frames - m_judgedCount; }
    bool AllJudged() const { return m_pending.empty(); }
    std::uint64_t Answered() const { return m_answered; }
    std::uint64_t Count(FrameVerdict verdict) const { return m_verdicts[static_cast<std::size_t>(verdict)]; }
    // Whether any verdict fails the replay.
    bool Failed() const;
    // The capture's clock at the last frame sent.
    std::int64_t LastSentTimeNs() const { return m_lastSentTimeNs; }
    const SourceTally& Tally() const { return m_tally; }
    const RoundTrips& Trips() const { return m_tracker.Trips(); }

private:
    struct Pending
    {
        CapturedFrame frame;
        AckMatcher::Ticket ticket{0};
        MonoTime sentAt;
        std::int64_t sentUs{0};
        int sendError{0};
        bool done{false};
        // Its verdict and live answer (in m_liveBytes) until handed over.
        FrameVerdict verdict{FrameVerdict::Missing};
        std::optional<std::pair<std::size_t, std::size_t>> live; // offset, size
    };

    Pending* Find(std::uint64_t id);
    void Conclude(std::uint64_t id, std::optional<std::span<const std::uint8_t>> live, MonoTime now);
    void HandOver(std::uint64_t id);
    void DropJudgedFront();

    Limits m_limits;
    OnJudged m_judged;
    AckTracker m_tracker;
    SourceTally m_tally;
    std::deque<Pending> m_pending; // by id, in the order sent
    std::uint64_t m_firstPending{0};
    std::uint64_t m_frames{0};
    std::uint64_t m_judgedCount{0};
    std::uint64_t m_answered{0};
    std::array<std::uint64_t, FRAME_VERDICT_COUNT> m_verdicts{};
    std::int64_t m_lastSentTimeNs{0};
    std::string m_hexCaptured; // of the frame being handed over
    std::string m_hexLive;
    bool m_holding{false};
    std::vector<std::uint64_t> m_held; // ids judged while holding, in order
    std::size_t m_released{0};         // of m_held
    std::vector<std::uint8_t> m_liveBytes;
};

} // namespace veltrano
