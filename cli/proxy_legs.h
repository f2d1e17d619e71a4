#pragma once

#include "cli/proxy_lines.h"
#include "cli/proxy_upstream.h"
#include "link/fault_engine.h"
#include "link/proxy_pairing.h"
#include "net/batch_udp_socket.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

class CommandRun;

// A datagram to send on, as the rules left it.
struct ProxyOutbound
{
    std::uint64_t session{0};
    veltrano::Endpoint panel{};
    std::span<const std::uint8_t> bytes{};
    const veltrano::DecodedFrame* decoded{nullptr};
    const veltrano::FaultMarks* marks{nullptr};
    bool dropped{false};
    std::array<std::int64_t, 2> carried{}; // when the proxy heard it; the centre's round trip
};

// The datagrams of one way gathered in a wake-up, their bytes in one buffer, to go out in one batch.
class PendingDatagrams final
{
public:
    struct Entry
    {
        std::uint32_t slot{0};
        veltrano::Endpoint panel;
        std::size_t offset{0};
        std::size_t size{0};
        veltrano::DecodedFrame decoded;
        veltrano::FaultMarks marks;
        std::array<std::int64_t, 2> carried{};
    };

    void Add(std::uint32_t slot, const ProxyOutbound& datagram);
    std::span<const std::uint8_t> Bytes(const Entry& entry) const
    {
        return std::span(m_bytes).subspan(entry.offset, entry.size);
    }
    const std::vector<Entry>& Entries() const { return m_entries; }
    void Clear()
    {
        m_entries.clear();
        m_bytes.clear();
    }

private:
    std::vector<Entry> m_entries;
    std::vector<std::uint8_t> m_bytes;
};

// What both legs write to: the run's capture and lines, and the pairings of answers.
struct ProxyLegContext
{
    CommandRun& run;
    ProxyLines& lines;
    veltrano::ProxyPairing& pairing;
    ProxyUpstream& upstream;
};

// Panel to centre: each session's run of datagrams in a wake-up goes out in one batch on its socket, so
// the centre meets a panel's burst as the panel sent it.
class UpLeg final
{
public:
    UpLeg(const ProxyLegContext& context, const veltrano::Endpoint& centre) : m_to(context), m_centre(centre)
    {}

    void Send(const ProxyOutbound& datagram);
    void Flush();

private:
    ProxyLegContext m_to;
    veltrano::Endpoint m_centre;
    PendingDatagrams m_pending;
    std::vector<std::span<const std::uint8_t>> m_batch;
};

// Centre to panel: the answers gathered in a wake-up go out in one batch from the listening socket, each
// from the address its panel sent to.
class DownLeg final
{
public:
    explicit DownLeg(const ProxyLegContext& context) : m_to(context) {}

    void Start(BatchUdpSocket& panels, const veltrano::Endpoint& local)
    {
        m_panels = &panels;
        m_local = local;
    }
    void Send(const ProxyOutbound& datagram);
    void Flush();

private:
    ProxyLegContext m_to;
    BatchUdpSocket* m_panels{nullptr};
    veltrano::Endpoint m_local;
    PendingDatagrams m_pending;
    std::vector<BatchUdpSocket::Outgoing> m_outgoing;
};
