#pragma once

#include "link/ack_matcher.h"
#include "link/answer_policy.h"
#include "protocol/acknowledgement.h"
#include "protocol/endpoint.h"
#include "protocol/frame_decoder.h"
#include "suite/scenario.h"
#include "verdict/verdict.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano {

// An answer of the centre role: sent after `delay`, its record with `note`.
struct ScenarioReply
{
    std::vector<std::uint8_t> bytes;
    std::chrono::milliseconds delay{0};
    std::string_view note;
};

// What either role makes of a datagram it heard: the note and round trip of its record, and the centre
// role's answers.
struct ScenarioHearing
{
    std::string_view note;
    std::optional<std::int64_t> rttUs; // the panel role's acknowledgement, paired
    std::vector<ScenarioReply> replies;
};

// The steps of one scenario, without sockets or timers: the command feeds it what it sent, what it heard
// and the clock, and takes a verdict whenever a step is judged. Each step starts when the one before is
// judged; what came before a step that waits counts, as an answer can beat the step that waits for it.
class ScenarioMachine final
{
public:
    enum class Start : std::uint8_t
    {
        Send,   // send Current().bytes, then call Sent
        Wait,   // call Expire at Deadline(), unless a verdict comes first
        Judged, // a verdict is ready
        End,    // no step left
    };

    // `broadcasts`: this machine's directed broadcast addresses, which the centre role never answers.
    ScenarioMachine(Scenario scenario, const Endpoint& peer, std::vector<std::uint32_t> broadcasts = {});

    bool Panel() const { return m_scenario.role == ScenarioRole::Panel; }
    const Scenario& Steps() const { return m_scenario; }
    // The step that runs now; only while there is one.
    const ScenarioStep& Current() const { return m_scenario.steps[m_index]; }
    MonoTime Deadline() const { return m_deadline; }

    // Starts the current step at `now`.
    Start Begin(MonoTime now);
    // The send step's bytes went, or `error` (an errno) kept them from going.
    void Sent(int error, MonoTime now);
    // A datagram heard, by the scenario's role.
    ScenarioHearing Hear(const Endpoint& from, std::span<const std::uint8_t> bytes,
                         const DecodedFrame& decoded, MonoTime now);
    // The panel role heard a datagram from the peer; the matcher's pairing of it, for its record.
    AckMatcher::Match PanelHeard(const Endpoint& from, std::span<const std::uint8_t> bytes,
                                 const DecodedFrame& decoded, MonoTime now);
    // The centre role heard a datagram.
    ScenarioHearing CentreHeard(const Endpoint& from, std::span<const std::uint8_t> bytes,
                                const DecodedFrame& decoded, MonoTime now);
    // The peer's port is closed: a failure to hear says so.
    void Refused(std::string reason) { m_refused = std::move(reason); }
    // Judges the waiting step when what it waits for has come.
    void Check(MonoTime now);
    // The waiting step's time is up.
    void Expire(MonoTime now);
    // The verdict of the step judged last, once.
    std::optional<Verdict> TakeVerdict();

private:
    struct Arrival
    {
        std::vector<std::uint8_t> bytes;
        MonoTime at;
        AckMatcher::Outcome outcome{AckMatcher::Outcome::NotAck};
        bool keyed{false}; // carries the pairing key of the last frame sent
    };

    struct Heard
    {
        std::vector<std::uint8_t> bytes;
        DecodedFrame decoded;
        Endpoint from;
        MonoTime at;
    };

    void Done(Outcome outcome, std::string message, MonoTime now, std::string details = {});
    void JudgeAck(MonoTime now);
    void JudgeNoAck(MonoTime now);
    void JudgeMissingFrame(MonoTime now);
    void TakeFrame(MonoTime now);
    void JudgeUnwantedFrame(MonoTime now);

    Scenario m_scenario;
    Endpoint m_peer;
    AnswerPolicy m_policy;
    std::size_t m_index{0};
    MonoTime m_stepStart;
    MonoTime m_deadline;
    bool m_awaiting{false};
    std::optional<Verdict> m_verdict;
    std::string m_refused;

    // The panel role: the last frame sent and what came back since.
    AckMatcher m_matcher{AckMatcher::Limits{1 << 12, {}}};
    AckMatcher::Ticket m_ticket{0};
    std::uint64_t m_serial{0};
    std::optional<std::vector<std::uint8_t>> m_lastSent;
    std::optional<AckFrame> m_expected;
    MonoTime m_lastSentAt;
    std::optional<Arrival> m_answer;
    std::vector<Arrival> m_arrivals;

    // The centre role: frames no expect-frame has taken yet, and how the next one is answered.
    std::deque<Heard> m_heard;
    AnswerMode m_nextMode{AnswerMode::Normal};
    std::chrono::milliseconds m_nextDelay{0};
    std::vector<std::vector<std::uint8_t>> m_nextAnswers;
};

} // namespace veltrano
