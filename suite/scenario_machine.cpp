#include "suite/scenario_machine.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <variant>

namespace veltrano {

namespace {

// Datagrams kept for judging: enough for any step's hint, bounded whatever the peer sends.
constexpr std::size_t MAX_KEPT = 256;

std::string Hex(std::span<const std::uint8_t> bytes)
{
    return bytes.empty() ? std::string("an empty datagram") : FormatBytesHex(bytes);
}

std::int64_t MicrosBetween(MonoTime from, MonoTime to)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
}

} // namespace

ScenarioMachine::ScenarioMachine(Scenario scenario, const Endpoint& peer,
                                 std::vector<std::uint32_t> broadcasts)
    : m_scenario(std::move(scenario)), m_peer(peer), m_policy(std::move(broadcasts))
{}

ScenarioMachine::Start ScenarioMachine::Begin(MonoTime now)
{
    if (m_index >= m_scenario.steps.size())
        return Start::End;
    const ScenarioStep& step = Current();
    m_stepStart = now;
    switch (step.kind) {
    case StepKind::Send:
        return Start::Send;
    case StepKind::Answer:
        m_nextMode = step.answer;
        m_nextDelay = step.delay;
        m_nextAnswers = step.answers;
        Done(Outcome::Passed, step.what, now);
        return Start::Judged;
    case StepKind::ExpectAck:
    case StepKind::ExpectNoAck:
        if (!m_lastSent) {
            Done(Outcome::Failed, "no frame was sent before it", now);
            return Start::Judged;
        }
        break;
    case StepKind::ExpectFrame:
    case StepKind::ExpectNoFrame:
    case StepKind::Wait:
        break;
    }
    m_deadline = now + step.within;
    m_awaiting = true;
    Check(now);
    return m_verdict ? Start::Judged : Start::Wait;
}

void ScenarioMachine::Sent(int error, MonoTime now)
{
    const ScenarioStep& step = Current();
    if (error != 0) {
        Done(Outcome::Failed,
             fmt::format("{} not sent to {}: {}", step.what, m_peer.ToString(), std::strerror(error)), now);
        return;
    }
    // The same bytes again are a retry: the frame keeps its place and its round trip restarts.
    const bool retry = m_expected && *m_lastSent == step.bytes && m_matcher.Resent(m_ticket, now);
    m_lastSent = step.bytes;
    m_lastSentAt = now;
    m_arrivals.clear();
    m_answer.reset();
    m_expected.reset();
    const auto answer = AcknowledgementFor(step.bytes);
    if (const auto* ack = std::get_if<AckFrame>(&answer); ack != nullptr)
        m_expected = *ack;
    if (m_expected && !retry)
        m_ticket = m_matcher.Sent(m_peer, step.bytes, ++m_serial, now);
    Done(Outcome::Passed, fmt::format("{} sent to {}", step.what, m_peer.ToString()), now);
}

ScenarioHearing ScenarioMachine::Hear(const Endpoint& from, std::span<const std::uint8_t> bytes,
                                      const DecodedFrame& decoded, MonoTime now)
{
    if (!Panel())
        return CentreHeard(from, bytes, decoded, now);
    ScenarioHearing hearing;
    const auto match = PanelHeard(from, bytes, decoded, now);
    if (match.outcome == AckMatcher::Outcome::Answered)
        hearing.rttUs = match.rtt.count();
    else if (match.outcome == AckMatcher::Outcome::BadChecksum)
        hearing.note = MatchNote(match.outcome);
    return hearing;
}

AckMatcher::Match ScenarioMachine::PanelHeard(const Endpoint& from, std::span<const std::uint8_t> bytes,
                                              const DecodedFrame& decoded, MonoTime now)
{
    const AckMatcher::Match match = m_matcher.Received(from, bytes, decoded, now);
    if (!m_lastSent)
        return match;
    Arrival arrival{{bytes.begin(), bytes.end()}, now, match.outcome, SamePairingKey(bytes, *m_lastSent)};
    const bool forLast =
        match.id == m_serial && m_expected &&
        (match.outcome == AckMatcher::Outcome::Answered || match.outcome == AckMatcher::Outcome::BadChecksum);
    // A right acknowledgement outranks a spoilt one that came first.
    if (forLast && (!m_answer || m_answer->outcome != AckMatcher::Outcome::Answered))
        m_answer = arrival;
    if (m_arrivals.size() < MAX_KEPT)
        m_arrivals.push_back(std::move(arrival));
    return match;
}

ScenarioHearing ScenarioMachine::CentreHeard(const Endpoint& from, std::span<const std::uint8_t> bytes,
                                             const DecodedFrame& decoded, MonoTime now)
{
    // The mode is for the next frame the rule answers, from a sender an answer may go to.
    const bool answerable =
        std::holds_alternative<AckFrame>(AcknowledgementFor(bytes)) && m_policy.MayAnswer(from);
    AnswerMode mode = AnswerMode::Normal;
    if (answerable) {
        mode = m_nextMode;
        m_nextMode = AnswerMode::Normal;
    }
    ScenarioHearing hearing;
    if (mode == AnswerMode::Withhold)
        hearing.note = "answer withheld";
    if (m_heard.size() >= MAX_KEPT)
        m_heard.pop_front();
    m_heard.push_back({{bytes.begin(), bytes.end()}, decoded, from, now});
    if (mode == AnswerMode::Hex) {
        for (auto& datagram : m_nextAnswers)
            hearing.replies.push_back({std::move(datagram), m_nextDelay, "answer given as hex"});
        m_nextAnswers.clear();
        return hearing;
    }
    const bool delayed = mode == AnswerMode::Delay;
    const AnswerFaults faults{.withhold = mode == AnswerMode::Withhold,
                              .spoil = mode == AnswerMode::BadChecksum,
                              .twice = mode == AnswerMode::Twice,
                              .delay = delayed ? m_nextDelay : std::chrono::milliseconds{0}};
    const auto decision = m_policy.Decide(bytes, from, faults);
    const auto* answer = std::get_if<PlannedAnswer>(&decision);
    if (answer == nullptr)
        return hearing;
    const std::vector<std::uint8_t> ack(answer->ack.begin(), answer->ack.end());
    hearing.replies.push_back({ack, answer->delay, AnswerNote(delayed, false, answer->spoilt)});
    for (std::uint32_t i = 0; i < answer->duplicates; ++i)
        hearing.replies.push_back({ack, answer->delay, AnswerNote(delayed, true, answer->spoilt)});
    return hearing;
}

void ScenarioMachine::Check(MonoTime now)
{
    if (!m_awaiting)
        return;
    switch (Current().kind) {
    case StepKind::ExpectAck:
        if (!m_expected || (m_answer && m_answer->outcome == AckMatcher::Outcome::Answered))
            JudgeAck(now);
        return;
    case StepKind::ExpectNoAck:
        if (std::ranges::any_of(m_arrivals, &Arrival::keyed))
            JudgeNoAck(now);
        return;
    case StepKind::ExpectFrame:
        TakeFrame(now);
        return;
    case StepKind::ExpectNoFrame:
        JudgeUnwantedFrame(now);
        return;
    case StepKind::Send:
    case StepKind::Answer:
    case StepKind::Wait:
        return;
    }
}

void ScenarioMachine::Expire(MonoTime now)
{
    if (!m_awaiting)
        return;
    switch (Current().kind) {
    case StepKind::ExpectAck:
        JudgeAck(now);
        return;
    case StepKind::ExpectNoAck:
        JudgeNoAck(now);
        return;
    case StepKind::ExpectFrame:
        JudgeMissingFrame(now);
        return;
    case StepKind::ExpectNoFrame:
    case StepKind::Wait:
        Done(Outcome::Passed, Current().what, now);
        return;
    case StepKind::Send:
    case StepKind::Answer:
        return;
    }
}

std::optional<Verdict> ScenarioMachine::TakeVerdict()
{
    auto verdict = std::move(m_verdict);
    m_verdict.reset();
    return verdict;
}

void ScenarioMachine::Done(Outcome outcome, std::string message, MonoTime now, std::string details)
{
    m_awaiting = false;
    m_verdict = MakeVerdict(Current().id, {outcome, std::move(message), std::move(details)},
                            std::chrono::duration<double>(now - m_stepStart).count());
    ++m_index;
}

void ScenarioMachine::JudgeAck(MonoTime now)
{
    const ScenarioStep& step = Current();
    if (!m_expected) {
        Done(Outcome::Failed, fmt::format("{} is not answered by the centre rule", Hex(*m_lastSent)), now);
        return;
    }
    const std::string expected =
        fmt::format("{} from {} within {} ms", Hex(*m_expected), m_peer.ToString(), step.within.count());
    if (m_answer) {
        const std::string got = fmt::format("{} after {}", Hex(m_answer->bytes),
                                            FormatMicros(MicrosBetween(m_lastSentAt, m_answer->at)));
        if (m_answer->outcome == AckMatcher::Outcome::Answered &&
            std::ranges::equal(m_answer->bytes, *m_expected))
            Done(Outcome::Passed, got, now);
        else
            Done(Outcome::Failed, ExpectedGot(expected, got), now);
        return;
    }
    // Something with its key that the matcher gave to an earlier frame, as a hint.
    const auto keyed = std::ranges::find_if(m_arrivals, &Arrival::keyed);
    if (keyed != m_arrivals.end()) {
        Done(Outcome::Failed,
             ExpectedGot(expected,
                         fmt::format("only {} after {}, taken for an earlier frame", Hex(keyed->bytes),
                                     FormatMicros(MicrosBetween(m_lastSentAt, keyed->at)))),
             now);
        return;
    }
    Done(Outcome::Failed,
         ExpectedGot(expected, m_refused.empty() ? std::string("nothing") : "nothing (" + m_refused + ")"),
         now);
}

void ScenarioMachine::JudgeNoAck(MonoTime now)
{
    const ScenarioStep& step = Current();
    const auto answered = std::ranges::find_if(m_arrivals, &Arrival::keyed);
    const std::string sent = Hex(*m_lastSent);
    if (answered == m_arrivals.end()) {
        Done(Outcome::Passed, fmt::format("nothing answered {} within {} ms", sent, step.within.count()),
             now);
        return;
    }
    Done(Outcome::Failed,
         ExpectedGot(fmt::format("no answer to {} within {} ms", sent, step.within.count()),
                     fmt::format("{} after {}", Hex(answered->bytes),
                                 FormatMicros(MicrosBetween(m_lastSentAt, answered->at)))),
         now);
}

void ScenarioMachine::TakeFrame(MonoTime now)
{
    const auto found =
        std::ranges::find_if(m_heard, [this](const Heard& h) { return Current().match.Matches(h.decoded); });
    if (found == m_heard.end())
        return;
    const Heard taken = *found;
    // Frames up to the one taken are judged; later ones wait for the next expect-frame.
    m_heard.erase(m_heard.begin(), found + 1);
    Done(Outcome::Passed,
         fmt::format("{} from {} after {}", Hex(taken.bytes), taken.from.ToString(),
                     FormatMicros(MicrosBetween(m_stepStart, taken.at))),
         now);
}

void ScenarioMachine::JudgeUnwantedFrame(MonoTime now)
{
    const ScenarioStep& step = Current();
    const auto found = std::ranges::find_if(m_heard, [&](const Heard& h) { return step.match.Matches(h.decoded); });
    if (found == m_heard.end())
        return;
    const std::string got = fmt::format("{} from {} after {}", Hex(found->bytes), found->from.ToString(),
                                        FormatMicros(MicrosBetween(m_stepStart, found->at)));
    m_heard.erase(m_heard.begin(), found + 1);
    Done(Outcome::Failed, ExpectedGot(fmt::format("{} within {} ms", step.what, step.within.count()), got), now);
}

void ScenarioMachine::JudgeMissingFrame(MonoTime now)
{
    const ScenarioStep& step = Current();
    const std::string expected = fmt::format("{} within {} ms", step.match.Describe(), step.within.count());
    if (m_heard.empty()) {
        Done(Outcome::Failed, ExpectedGot(expected, "nothing"), now);
        return;
    }
    std::string details;
    for (const Heard& heard : m_heard)
        details += fmt::format("{} from {}\n", Hex(heard.bytes), heard.from.ToString());
    // They stay for the next expect-frame: a frame out of its place is still the next step's.
    const Heard& last = m_heard.back();
    const std::string got =
        fmt::format("{} other frame{}, the last {} from {}", m_heard.size(), m_heard.size() == 1 ? "" : "s",
                    Hex(last.bytes), last.from.ToString());
    Done(Outcome::Failed, ExpectedGot(expected, got), now, details);
}

} // namespace veltrano
