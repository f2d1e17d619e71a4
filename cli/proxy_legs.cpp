#include "cli/proxy_legs.h"

#include "cli/command_run.h"
#include "net/udp_endpoint.h"
#include "protocol/acknowledgement.h"

using namespace veltrano;

void PendingDatagrams::Add(std::uint32_t slot, const ProxyOutbound& datagram)
{
    m_entries.push_back({slot, datagram.panel, m_bytes.size(), datagram.bytes.size(), *datagram.decoded,
                         datagram.marks != nullptr ? *datagram.marks : FaultMarks{}, datagram.carried});
    m_bytes.insert(m_bytes.end(), datagram.bytes.begin(), datagram.bytes.end());
}

void UpLeg::Send(const ProxyOutbound& datagram)
{
    const auto slot = m_to.upstream.LiveSlot(datagram.session);
    if (datagram.dropped || !slot) {
        m_to.lines.Write({.up = true,
                          .panel = datagram.panel,
                          .bytes = datagram.bytes,
                          .decoded = datagram.decoded,
                          .marks = datagram.marks,
                          .note = slot ? std::string_view{} : "session ended",
                          .wallUs = datagram.carried[0],
                          .dropped = true,
                          .slot = slot.value_or(0)});
        return;
    }
    m_pending.Add(*slot, datagram);
}

void UpLeg::Flush()
{
    const auto& entries = m_pending.Entries();
    for (std::size_t first = 0; first < entries.size();) {
        const std::uint32_t slot = entries[first].slot;
        std::size_t end = first;
        m_batch.clear();
        for (; end < entries.size() && entries[end].slot == slot; ++end)
            m_batch.push_back(m_pending.Bytes(entries[end]));
        const std::int64_t sentUs = WallClockUs();
        const MonoTime now = MonoClock::now();
        m_to.upstream.Sockets().SendEach(slot, m_batch, [&](std::size_t i, int error) {
            const auto& entry = entries[first + i];
            const auto bytes = m_batch[i];
            if (error == 0 && std::holds_alternative<AckFrame>(AcknowledgementFor(bytes)))
                m_to.pairing.CentreSent(entry.panel, bytes, now);
            if (m_to.run.Capturing())
                m_to.run.Capture(MakeRecord(sentUs, Direction::Out, m_centre,
                                            m_to.upstream.Sockets().LocalAddress(slot), bytes, error));
            m_to.lines.Write({.up = true,
                              .panel = entry.panel,
                              .bytes = bytes,
                              .decoded = &entry.decoded,
                              .marks = &entry.marks,
                              .wallUs = entry.carried[0],
                              .error = error,
                              .slot = slot});
        });
        first = end;
    }
    m_pending.Clear();
}

void DownLeg::Send(const ProxyOutbound& datagram)
{
    const auto slot = m_to.upstream.LiveSlot(datagram.session);
    if (datagram.dropped || !slot) {
        m_to.lines.Write({.up = false,
                          .panel = datagram.panel,
                          .bytes = datagram.bytes,
                          .decoded = datagram.decoded,
                          .marks = datagram.marks,
                          .wallUs = datagram.carried[0],
                          .dropped = true,
                          .centreRtt = datagram.carried[1],
                          .slot = static_cast<std::uint32_t>(datagram.session)});
        return;
    }
    m_pending.Add(*slot, datagram);
}

void DownLeg::Flush()
{
    const auto& entries = m_pending.Entries();
    if (entries.empty())
        return;
    m_outgoing.clear();
    for (const auto& entry : entries)
        m_outgoing.push_back({entry.panel, m_to.upstream.ReplySource(entry.slot), m_pending.Bytes(entry)});
    const MonoTime now = MonoClock::now();
    m_panels->SendEach(m_outgoing, [&](std::size_t i, int error) {
        const auto& entry = entries[i];
        const auto bytes = m_outgoing[i].bytes;
        const auto match = error == 0 ? m_to.pairing.PanelAnswered(entry.panel, bytes, entry.decoded, now)
                                      : ProxyPairing::PanelMatch{};
        m_to.lines.Write({.up = false,
                          .panel = entry.panel,
                          .bytes = bytes,
                          .decoded = &entry.decoded,
                          .marks = &entry.marks,
                          .note = match.note,
                          .wallUs = entry.carried[0],
                          .error = error,
                          .centreRtt = entry.carried[1],
                          .panelRtt = match.rttUs,
                          .slot = entry.slot});
        if (m_to.run.Capturing())
            m_to.run.Capture(
                MakeRecord(WallClockUs(), Direction::Out, entry.panel,
                           {m_outgoing[i].sourceAddress != 0 ? m_outgoing[i].sourceAddress : m_local.address,
                            m_local.port},
                           bytes, error));
    });
    m_pending.Clear();
}
