#pragma once

#include "link/ack_matcher.h"
#include "link/answer_policy.h"
#include "link/frame_record.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace veltrano {

// An acknowledgement on its way: where to, from which local address, and what the faults made of it.
struct CentreAnswer
{
    AckFrame ack{};
    Endpoint to;
    std::uint32_t source{0}; // the local address the datagram reached; 0: the socket's own
    bool delayed{false};
    bool duplicate{false}; // the second copy
    bool spoilt{false};
    MonoTime due{};

    // What the answer's line notes of it.
    std::string_view Note() const { return AnswerNote(delayed, duplicate, spoilt); }
};

// The centre's answers in order: those to send now, and those a delay holds back until they fall due. One
// delay for every answer keeps the held ones in the order they fall due.
class CentreAnswers final
{
public:
    // The answer planned for a datagram from `from` that reached `source`, and its copy when it goes twice:
    // now, or held until `now` plus its delay (`now` is read for a delay only).
    void Plan(const PlannedAnswer& planned, const Endpoint& from, std::uint32_t source, MonoTime now);
    // The policy's decision for a datagram: its answer planned as above, the clock `now` read only for an
    // answer held back (a reading per datagram costs); why the datagram goes unanswered otherwise.
    std::optional<NoAnswer> Plan(const AnswerDecision& decision, const Endpoint& from, std::uint32_t source,
                                 MonoTime (*now)());
    // The held answers due by `now` join those to send now.
    void Release(MonoTime now);
    // Those to send now; the caller clears it once they went.
    std::vector<CentreAnswer>& Ready() { return m_ready; }
    // When the first held answer falls due; none while none is held.
    std::optional<MonoTime> NextDue() const;
    std::size_t Held() const { return m_held.size(); }

private:
    void Queue(const CentreAnswer& answer);

    std::vector<CentreAnswer> m_ready;
    std::deque<CentreAnswer> m_held;
};

// What the centre counted of the datagrams it took and the answers it sent.
class CentreCounts final
{
public:
    void Received(bool malformed);
    void Unanswered(NoAnswer why) { ++m_unanswered[static_cast<std::size_t>(why)]; }
    // An answer handed to the system: `error` its error number when refused. A duplicate is an answer sent
    // but not another datagram acknowledged.
    void Sent(const CentreAnswer& answer, int error);

    std::uint64_t ReceivedCount() const { return m_received; }
    // Answers handed to the system, copies included.
    std::uint64_t AcksSent() const { return m_acksSent; }
    // The centre's summary fields: these counts, then what the socket and the run tell.
    std::vector<RecordField> SummaryFields(std::size_t heldAtExit, std::uint64_t kernelDrops,
                                           std::uint64_t receiveBuffer, std::uint64_t seed) const;

private:
    std::uint64_t Unanswered(NoAnswer why) const { return m_unanswered[static_cast<std::size_t>(why)]; }

    std::uint64_t m_received{0};
    std::uint64_t m_acknowledged{0};
    std::uint64_t m_acksSent{0};
    std::array<std::uint64_t, 6> m_unanswered{}; // by NoAnswer
    std::uint64_t m_malformed{0};
    std::uint64_t m_delayed{0};
    std::uint64_t m_duplicated{0};
    std::uint64_t m_badChecksum{0};
    std::uint64_t m_sendFailed{0};
};

} // namespace veltrano
