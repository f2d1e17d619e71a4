#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// Whether the target of a fuzz run still lives, told apart from a lossy link: every `probeEvery` cases a
// probe must be answered; one left unanswered is resent, and only when every resend goes unanswered is the
// target suspect. A suspect is probed on for the confirm window: back within it is a hang, never back a
// crash. A suspect answered again after no more unanswered probes than the loss seen so far explains (a
// chance of at least one in a million) was a lossy link, not a hang. The caller feeds it the clock, so a
// test runs it on a fake one.

namespace veltrano {

class Liveness final
{
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    struct Settings
    {
        std::uint64_t probeEvery{50};
        std::chrono::microseconds timeout{500'000};
        int retries{3};
        std::chrono::microseconds confirm{10'000'000};
    };

    enum class Phase : std::uint8_t
    {
        Fuzzing, // cases may go
        Probing, // a probe waits for its answer, resent on a timeout
        Suspect, // every resend went unanswered: probing on, no case goes
        Crashed, // silent through the confirm window
    };

    struct Event
    {
        enum class Kind : std::uint8_t
        {
            Resend,    // a probe went unanswered and goes again; `attempt` is the next
            Recovered, // answered after a resend, or a suspect whose silence loss explains: no finding
            Suspect,   // every resend unanswered
            Hang,      // answered again within the confirm window; `length` since the first probe unanswered
            Crash,     // never answered within it
        };
        Kind kind{Kind::Resend};
        int attempt{0};
        std::chrono::microseconds length{0};
    };

    struct Counts
    {
        std::uint64_t probes{0}; // every probe sent, resends too
        std::uint64_t resends{0};
        std::uint64_t recovered{0}; // probes answered after a resend
        std::uint64_t unreachable{0};
    };

    // The run starts with a probe, since a target that answers nothing cannot be judged; its answer, however
    // late, is no finding, and a target that never answers it is the caller's error, not a crash.
    Liveness(Settings settings, Time start);

    Phase Current() const { return m_phase; }
    // Cases go while fuzzing, and on while a round's first probe waits, up to another `probeEvery`: the rate
    // is not bound by the probe's round trip. None before the target first answered, none once a probe went
    // unanswered.
    bool MaySendCase() const
    {
        return m_phase == Phase::Fuzzing ||
               (m_phase == Phase::Probing && m_everAnswered && m_waiting && m_attempt == 1 && !m_lastRound &&
                m_casesAhead < m_settings.probeEvery);
    }
    // A case went; the probe-every-th case makes a probe due.
    void CaseSent(Time now);
    // A probe due now, whatever the count of cases: the last of a run, after which no case goes. Asked while
    // a probe waits with cases sent behind it, another round follows its answer.
    void ProbeNow(Time now);
    // Whether a probe of the round went: one due now is a resend, or the suspect's probing on.
    bool RoundOpen() const { return m_attempt > 0; }
    // Whether a probe is to go at `now`; then ProbeSent.
    bool ProbeDue(Time now) const;
    void ProbeSent(Time now);
    // The probe's acknowledgement came.
    std::optional<Event> Answered(Time now);
    // The socket heard the port is unreachable: no answer, so nothing but the timeouts changes.
    std::optional<Event> Unreachable(Time now);
    // The timeouts and the confirm window, at `now`.
    std::optional<Event> Tick(Time now);
    // When Tick or a probe is due next; none while cases go or once crashed.
    std::optional<Time> NextDeadline() const;
    // The target was brought back (a restart, its probe answered): cases go again.
    void Restarted(Time now);
    // Whether any probe of the run was answered yet.
    bool EverAnswered() const { return m_everAnswered; }
    const Counts& Totals() const { return m_counts; }

private:
    // Whether `unanswered` probes in a row are likely enough at the loss seen in the answered rounds.
    bool LossExplains(int unanswered) const;

    Settings m_settings;
    Phase m_phase{Phase::Probing};
    std::uint64_t m_casesSinceProbe{0};
    std::uint64_t m_casesAhead{0}; // sent while the round's probe waited: the next round's
    bool m_lastRound{false};
    bool m_waiting{false};
    int m_attempt{0}; // sends of this round's probe
    Time m_due;
    Time m_sentAt;
    Time m_firstUnanswered; // the round's first probe
    Time m_confirmUntil;
    bool m_everAnswered{false};
    Counts m_counts;
    // Probes of the rounds answered before a suspect: how lossy the link is.
    std::uint64_t m_roundProbes{0};
    std::uint64_t m_roundProbesLost{0};
};

} // namespace veltrano
