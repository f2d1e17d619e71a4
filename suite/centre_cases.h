#pragma once

#include "link/ack_matcher.h"
#include "link/pacer.h"
#include "link/round_trips.h"
#include "protocol/acknowledgement.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"
#include "protocol/result.h"
#include "verdict/verdict.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The cases that judge a centre by the centre rule, one row each: what is sent and how what came back is
// judged. The command that runs them owns the sockets and the timers; everything it hears goes through a
// CentreExchange (or the load's CentreLoad), and the row's judge turns that into a verdict.

namespace veltrano {

using Bytes = std::vector<std::uint8_t>;

// The sockets a case may send from: two, so that a case can tell the answers of two senders apart.
inline constexpr std::size_t CENTRE_SOCKETS = 2;
// Frames of the probe before the first case: a centre that answers nothing cannot be judged.
inline constexpr int CENTRE_PROBE_FRAMES = 5;

// Frames of devices no case has used yet, so that no answer can be taken for another case's.
class FreshFrames final
{
public:
    // A frame of catalogue row `row`, zone 1 for the zone events.
    Bytes Event(int row, const StatusBytes& status = DEFAULT_STATUS);
    // The window's debug frame: length 18, command 0x3E, zeros, a final 0x00.
    Bytes Debug();

private:
    std::uint32_t m_next{0};
};

// One datagram of a case, from one of the sockets.
struct CentreDatagram
{
    Bytes bytes;
    std::size_t socket{0};
    std::string name; // in a failure, instead of the bytes
};

// What a judge knows beside the exchange.
struct CentreSetting
{
    Endpoint target;
    int timeoutMs{1000};
    std::array<std::uint16_t, CENTRE_SOCKETS> ports{}; // local, of each socket
    double loadRate{1000};
    double loadSeconds{5};

    std::uint64_t LoadFrames() const { return static_cast<std::uint64_t>(loadRate * loadSeconds); }
};

// The datagrams of one case and what came back, paired by the matcher.
class CentreExchange final
{
public:
    struct Sent
    {
        CentreDatagram datagram;
        std::optional<AckFrame> expected; // when the centre rule answers it
        // What came for it: the acknowledgement the matcher paired, or one with a wrong checksum.
        std::optional<Bytes> got;
        std::int64_t rttUs{0}; // from the send, also for an acknowledgement the matcher did not take
    };

    struct Arrival
    {
        std::size_t socket{0};
        Endpoint from;
        Bytes bytes;
        MonoTime at;
    };

    // A new case, its datagrams sent to `target` at `now`: what the one before heard is forgotten.
    void Begin(std::vector<CentreDatagram> datagrams, const Endpoint& target, MonoTime now);
    void Arrived(std::size_t socket, const Endpoint& from, std::span<const std::uint8_t> bytes, MonoTime now);
    // Every datagram the centre rule answers has its answer.
    bool AllAnswered() const;

    std::span<const Sent> Frames() const { return m_sent; }
    std::span<const Arrival> Arrivals() const { return m_arrivals; }
    MonoTime SentAt() const { return m_sentAt; }

private:
    AckMatcher m_matcher{AckMatcher::Limits{1 << 8, {}}};
    std::vector<Sent> m_sent;
    std::vector<Arrival> m_arrivals;
    MonoTime m_sentAt;
};

// The load case: frames at the setting's rate for its seconds, every one to be answered.
class CentreLoad final
{
public:
    CentreLoad(const CentreSetting& setting, MonoTime start);

    // The frames the rate owes by `now` and not yet sent, taken as sent to the target at `now`.
    std::vector<Bytes> Due(MonoTime now, FreshFrames& fresh);
    void Arrived(const Endpoint& from, std::span<const std::uint8_t> bytes, MonoTime now);
    bool AllSent() const { return m_sent >= m_total; }
    // Every frame sent and none waits: nothing more to wait for.
    bool Settled() const { return AllSent() && m_matcher.Waiting() == 0; }
    Judgement Judge(const CentreSetting& setting) const;

private:
    AckMatcher m_matcher{AckMatcher::Limits{1 << 16, {}}};
    RoundTrips m_trips;
    Endpoint m_target;
    Pacer m_pacer;
    std::uint64_t m_total{0};
    std::uint64_t m_sent{0};
};

enum class CentreWait : std::uint8_t
{
    UntilAnswered, // judged once every answer came, or at the timeout
    Timeout,       // judged at the timeout: the case waits for silence
    Load,          // the load case: paced frames, judged by CentreLoad
};

struct CentreCase
{
    std::string_view id; // fixed: what --only/--skip and dashboards name
    std::string_view requirement;
    CentreWait wait{CentreWait::UntilAnswered};
    // What is sent; unused by the load case.
    std::vector<CentreDatagram> (*send)(FreshFrames&){nullptr};
    Judgement (*judge)(const CentreExchange&, const CentreSetting&){nullptr};
};

// Every case, in the order they run.
std::span<const CentreCase> CentreCases();
// Which rows run: every one, or those of --only, less those of --skip; an unknown id is the reason.
[[nodiscard]] Result<std::vector<bool>> ChooseCentreCases(std::span<const std::string> only,
                                                          std::span<const std::string> skip);
// The verdict of every case when the probe heard nothing back.
Judgement CentreUnheard(const CentreSetting& setting);

} // namespace veltrano
