#pragma once

#include "suite/centre_cases.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace veltrano {

// The order of one `test centre` run, without sockets or timers: the probe first, then each case of the
// table in turn, passed over with its verdict when it was not chosen or when the probe heard nothing back.
// The command sends what it is given, feeds in what comes back and, at the timeout or once Settled, asks
// for the judgement.
class CentreRun final
{
public:
    enum class Next : std::uint8_t
    {
        Exchange, // send Frames(); judge at the timeout, or once Settled
        Load,     // send Due() on each tick until AllSent; judge at the timeout after, or once Settled
        End,      // every case has its verdict
    };

    CentreRun(const CentreSetting& setting, std::vector<bool> chosen);

    const CentreSetting& Setting() const { return m_setting; }
    // The local port of socket `socket`, once it is open: some judges name it.
    void SetPort(std::size_t socket, std::uint16_t port) { m_setting.ports.at(socket) = port; }

    // Starts the probe at `now`: several frames, so that a centre that loses some is still heard.
    void Probe(MonoTime now);
    // After the probe or a verdict: the verdicts of the cases passed over, each added to `passed`, and what
    // the next case that runs, started at `now`, needs.
    Next Advance(MonoTime now, std::vector<Verdict>& passed);

    // The datagrams of the probe or the case that waits, each with the socket it leaves from.
    std::span<const CentreExchange::Sent> Frames() const { return m_exchange.Frames(); }
    // The load's frames the rate owes by `now`, taken as sent.
    std::vector<Bytes> Due(MonoTime now);
    // The load has sent all its frames.
    bool AllSent() const { return m_load && m_load->AllSent(); }

    void Arrived(std::size_t socket, const Endpoint& from, std::span<const std::uint8_t> bytes, MonoTime now);
    // Whatever waits needs nothing more: judge it now rather than at the timeout.
    bool Settled() const;
    // Ends the probe, the case or the load that waits at `now`: the case's verdict; nothing for the probe,
    // after which Advance starts the cases.
    std::optional<Verdict> Judge(MonoTime now);

private:
    const CentreCase& Current() const { return CentreCases()[m_case]; }
    Verdict Finish(Judgement judgement, MonoTime now);

    CentreSetting m_setting;
    std::vector<bool> m_chosen;
    FreshFrames m_fresh;
    CentreExchange m_exchange;
    std::optional<CentreLoad> m_load;
    std::size_t m_case{0};
    MonoTime m_caseStart;
    bool m_probing{false};
    bool m_alive{false};
    bool m_waiting{false};       // an exchange is out and not yet judged
    bool m_untilAnswered{false}; // it is judged as soon as every answer came
};

} // namespace veltrano
