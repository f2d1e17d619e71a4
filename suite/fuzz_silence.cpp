#include "suite/fuzz_silence.h"

namespace veltrano {

std::optional<PanelSilence::Event> PanelSilence::Heard(Time now, bool wellFormed)
{
    if (m_phase == Phase::Crashed)
        return std::nullopt;
    ++m_frames;
    std::optional<Event> event;
    if (m_phase == Phase::Suspect)
        event = Event{Event::Kind::Hang, std::chrono::duration_cast<std::chrono::microseconds>(now - m_last)};
    else if (!wellFormed && m_wellFormedSeen && m_mutatedSince) {
        event = Event{Event::Kind::Malformed, {}};
        m_mutatedSince = false; // one finding for one wrong answer
    }
    m_phase = Phase::Live;
    m_last = now;
    if (wellFormed) {
        m_wellFormedSeen = true;
        m_mutatedSince = false;
    }
    return event;
}

void PanelSilence::Answered(bool mutated)
{
    m_mutatedSince = m_mutatedSince || mutated;
}

std::optional<PanelSilence::Event> PanelSilence::Tick(Time now)
{
    const auto since = std::chrono::duration_cast<std::chrono::microseconds>(now - m_last);
    if (m_phase == Phase::Live && since > m_settings.silence) {
        m_phase = Phase::Suspect;
        m_suspectAt = now;
        return Event{Event::Kind::Suspect, since};
    }
    if (m_phase == Phase::Suspect && now - m_suspectAt >= m_settings.confirm) {
        m_phase = Phase::Crashed;
        return Event{Event::Kind::Crash, since};
    }
    return std::nullopt;
}

std::optional<PanelSilence::Time> PanelSilence::NextDeadline() const
{
    switch (m_phase) {
    case Phase::Live:
        return m_last + m_settings.silence + std::chrono::microseconds(1);
    case Phase::Suspect:
        return m_suspectAt + m_settings.confirm;
    case Phase::Waiting:
    case Phase::Crashed:
        break;
    }
    return std::nullopt;
}

void PanelSilence::Restarted()
{
    m_phase = Phase::Waiting;
    m_mutatedSince = false;
}

} // namespace veltrano
