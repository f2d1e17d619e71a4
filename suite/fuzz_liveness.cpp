#include "suite/fuzz_liveness.h"

#include <algorithm>
#include <cmath>

namespace veltrano {

Liveness::Liveness(Settings settings, Time start)
    : m_settings(settings), m_due(start), m_firstUnanswered(start)
{
    m_settings.probeEvery = std::max<std::uint64_t>(m_settings.probeEvery, 1);
}

bool Liveness::LossExplains(int unanswered) const
{
    if (m_roundProbes == 0)
        return false;
    const double lost = static_cast<double>(m_roundProbesLost) / static_cast<double>(m_roundProbes);
    return std::pow(lost, unanswered) >= 1e-6;
}

void Liveness::CaseSent(Time now)
{
    if (m_phase == Phase::Probing)
        ++m_casesAhead;
    if (m_phase != Phase::Fuzzing || ++m_casesSinceProbe < m_settings.probeEvery)
        return;
    m_phase = Phase::Probing;
    m_attempt = 0;
    m_due = now;
}

void Liveness::ProbeNow(Time now)
{
    m_lastRound = true;
    if (m_phase != Phase::Fuzzing)
        return;
    m_casesSinceProbe = m_settings.probeEvery - 1;
    CaseSent(now);
}

bool Liveness::ProbeDue(Time now) const
{
    return (m_phase == Phase::Probing || m_phase == Phase::Suspect) && !m_waiting && now >= m_due;
}

void Liveness::ProbeSent(Time now)
{
    if (m_attempt == 0)
        m_firstUnanswered = now;
    else if (m_phase == Phase::Probing)
        ++m_counts.resends;
    ++m_attempt;
    ++m_counts.probes;
    m_waiting = true;
    m_sentAt = now;
}

std::optional<Liveness::Event> Liveness::Answered(Time now)
{
    if (m_phase != Phase::Probing && m_phase != Phase::Suspect)
        return std::nullopt;
    std::optional<Event> event;
    const int unanswered = m_attempt - 1;
    if (!m_everAnswered) {
        // The first probe's answer: the target is up, whatever its start took.
    } else if (m_phase == Phase::Suspect && !LossExplains(unanswered)) {
        event = Event{Event::Kind::Hang, m_attempt,
                      std::chrono::duration_cast<std::chrono::microseconds>(now - m_firstUnanswered)};
    } else if (unanswered > 0) {
        ++m_counts.recovered;
        event = Event{Event::Kind::Recovered, m_attempt, {}};
    }
    if (m_phase == Phase::Probing) {
        m_roundProbes += static_cast<std::uint64_t>(m_attempt);
        m_roundProbesLost += static_cast<std::uint64_t>(unanswered);
    }
    m_everAnswered = true;
    const std::uint64_t ahead = m_casesAhead;
    const bool lastRound = m_lastRound;
    Restarted(now);
    m_lastRound = lastRound;
    // The cases sent behind the probe are the next round's: it is due at once when they fill it, or when
    // they were the run's last.
    m_casesSinceProbe = ahead;
    if (ahead >= m_settings.probeEvery || (lastRound && ahead > 0)) {
        m_casesSinceProbe = m_settings.probeEvery - 1;
        CaseSent(now);
    }
    return event;
}

std::optional<Liveness::Event> Liveness::Unreachable(Time now)
{
    // The error may be a case's; either way nothing answered: the timeouts go on as they would.
    ++m_counts.unreachable;
    return Tick(now);
}

std::optional<Liveness::Event> Liveness::Tick(Time now)
{
    if (m_phase == Phase::Suspect && now >= m_confirmUntil) {
        m_phase = Phase::Crashed;
        m_waiting = false;
        return Event{Event::Kind::Crash, m_attempt,
                     std::chrono::duration_cast<std::chrono::microseconds>(now - m_firstUnanswered)};
    }
    if (!m_waiting || now < m_sentAt + m_settings.timeout)
        return std::nullopt;
    m_waiting = false;
    if (m_phase == Phase::Suspect) {
        m_due = now; // probed on at the pace of the timeout
        return std::nullopt;
    }
    m_due = now;
    if (m_attempt <= m_settings.retries)
        return Event{Event::Kind::Resend, m_attempt + 1, {}};
    m_phase = Phase::Suspect;
    m_confirmUntil = now + m_settings.confirm;
    return Event{Event::Kind::Suspect, m_attempt, {}};
}

std::optional<Liveness::Time> Liveness::NextDeadline() const
{
    switch (m_phase) {
    case Phase::Fuzzing:
    case Phase::Crashed:
        return std::nullopt;
    case Phase::Probing:
        return m_waiting ? m_sentAt + m_settings.timeout : m_due;
    case Phase::Suspect:
        return std::min(m_confirmUntil, m_waiting ? m_sentAt + m_settings.timeout : m_due);
    }
    return std::nullopt;
}

void Liveness::Restarted(Time)
{
    m_phase = Phase::Fuzzing;
    m_casesSinceProbe = 0;
    m_waiting = false;
    m_attempt = 0;
    m_casesAhead = 0;
    m_lastRound = false;
}

} // namespace veltrano
