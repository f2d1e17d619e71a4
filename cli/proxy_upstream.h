#pragma once

#include "link/ack_matcher.h"
#include "link/proxy_sessions.h"
#include "net/session_sockets.h"
#include "protocol/endpoint.h"
#include "protocol/result.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

// The proxy's sessions with their upstream sockets: a panel's datagrams open its session and its socket to
// the centre, the centre's answers on that socket find the panel again, and silence ends both.
class ProxyUpstream final
{
public:
    ProxyUpstream(veltrano::ProxySessions::Limits limits, const veltrano::Endpoint& centre, int receiveBuffer)
        : m_sessions(limits), m_centre(centre), m_receiveBuffer(receiveBuffer)
    {}

    [[nodiscard]] veltrano::Status Init() { return m_sockets.Init(); }

    struct Admission
    {
        std::uint64_t session{0}; // its slot and the slot's serial
        std::string_view refusal; // empty: admitted
    };
    // The session of a datagram from `panel` to the local address `replySource`, opened with its socket
    // when new; why it was refused otherwise (told on stderr the first time).
    Admission Admit(const veltrano::Endpoint& panel, std::uint32_t replySource, veltrano::MonoTime now);
    // The slot of a session still open with that key; none once it ended, so that a copy held past its
    // session's end is known.
    std::optional<std::uint32_t> LiveSlot(std::uint64_t session) const;
    // The panel an answer heard on `slot` goes to, and its session's key; none for a free slot.
    std::optional<std::pair<veltrano::Endpoint, std::uint64_t>> Answered(std::uint32_t slot,
                                                                         veltrano::MonoTime now);
    // The local address the session's panel sent to, for its answers to come from.
    std::uint32_t ReplySource(std::uint32_t slot) const { return m_replySource[slot]; }
    void Expire(veltrano::MonoTime now);

    SessionSockets& Sockets() { return m_sockets; }
    const SessionSockets& Sockets() const { return m_sockets; }
    const veltrano::ProxySessions& Sessions() const { return m_sessions; }
    std::uint64_t Refused() const { return m_refused; }

private:
    std::uint64_t KeyOf(std::uint32_t slot) const;

    veltrano::ProxySessions m_sessions;
    SessionSockets m_sockets;
    veltrano::Endpoint m_centre;
    int m_receiveBuffer{0};
    std::vector<std::uint32_t> m_replySource; // by slot
    std::uint64_t m_refused{0};
    bool m_refusedTold{false};
    bool m_openFailed{false};
};
