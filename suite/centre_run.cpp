#include "suite/centre_run.h"

namespace veltrano {

CentreRun::CentreRun(const CentreSetting& setting, std::vector<bool> chosen)
    : m_setting(setting), m_chosen(std::move(chosen))
{
    m_chosen.resize(CentreCases().size(), false);
}

void CentreRun::Probe(MonoTime now)
{
    std::vector<CentreDatagram> probe;
    for (int i = 0; i < CENTRE_PROBE_FRAMES; ++i)
        probe.push_back({m_fresh.Event(0), 0, {}});
    m_probing = true;
    m_waiting = true;
    m_untilAnswered = true;
    m_exchange.Begin(std::move(probe), m_setting.target, now);
}

CentreRun::Next CentreRun::Advance(MonoTime now, std::vector<Verdict>& passed)
{
    const auto cases = CentreCases();
    while (m_case < cases.size()) {
        m_caseStart = now;
        if (!m_chosen[m_case])
            passed.push_back(Finish(Judgement::Skip("not chosen"), now));
        else if (!m_alive)
            passed.push_back(Finish(CentreUnheard(m_setting), now));
        else
            break;
    }
    if (m_case >= cases.size())
        return Next::End;
    const CentreCase& row = Current();
    if (row.wait == CentreWait::Load) {
        m_load.emplace(m_setting, now);
        return Next::Load;
    }
    m_waiting = true;
    m_untilAnswered = row.wait == CentreWait::UntilAnswered;
    m_exchange.Begin(row.send(m_fresh), m_setting.target, now);
    return Next::Exchange;
}

std::vector<Bytes> CentreRun::Due(MonoTime now)
{
    return m_load ? m_load->Due(now, m_fresh) : std::vector<Bytes>{};
}

void CentreRun::Arrived(std::size_t socket, const Endpoint& from, std::span<const std::uint8_t> bytes,
                        MonoTime now)
{
    if (m_load)
        m_load->Arrived(from, bytes, now);
    else
        m_exchange.Arrived(socket, from, bytes, now);
}

bool CentreRun::Settled() const
{
    if (m_load)
        return m_load->Settled();
    return m_waiting && m_untilAnswered && m_exchange.AllAnswered();
}

std::optional<Verdict> CentreRun::Judge(MonoTime now)
{
    if (m_load) {
        Judgement judgement = m_load->Judge(m_setting);
        m_load.reset();
        return Finish(std::move(judgement), now);
    }
    m_waiting = false;
    if (m_probing) {
        m_probing = false;
        m_alive = !m_exchange.Arrivals().empty();
        return std::nullopt;
    }
    return Finish(Current().judge(m_exchange, m_setting), now);
}

// The current case's verdict; the next case is current after it.
Verdict CentreRun::Finish(Judgement judgement, MonoTime now)
{
    const double seconds = std::chrono::duration<double>(now - m_caseStart).count();
    return MakeVerdict(std::string(CentreCases()[m_case++].id), std::move(judgement), seconds);
}

} // namespace veltrano
