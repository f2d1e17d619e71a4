#include "book/panel_book.h"

#include <algorithm>
#include <limits>

namespace veltrano {

namespace {

// What `panels` panels take at least: their chunks of records, an index at most half full, a change bit each.
constexpr std::size_t PanelBytesAt(std::size_t panels, std::size_t chunk)
{
    const std::size_t records = (panels + chunk - 1) / chunk * chunk;
    std::size_t slots = 1024;
    while (panels * 2 > slots)
        slots *= 2;
    return records * sizeof(BookPanel) + slots * sizeof(std::uint32_t) + records / 8;
}

} // namespace

static_assert(PanelBytesAt(57'600, 1024) <= 57'600 * PanelBook::MAX_BYTES_PER_PANEL,
              "57,600 panels take at most 64 bytes each");

PanelBook::PanelBook(Limits limits, SteadyTime start) : m_limits(limits), m_start(start) {}

PanelBook::~PanelBook() = default;

std::int64_t PanelBook::Micros(SteadyTime now) const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(now - m_start).count();
}

std::size_t PanelBook::SlotOf(std::uint64_t key) const
{
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = ((key + 1) * 0x9E3779B97F4A7C15ULL) >> 20;; ++i) {
        const std::uint32_t slot = m_slots[i & mask];
        if (slot == 0 || KeyOf(At(slot - 1)) == key)
            return i & mask;
    }
}

std::uint32_t PanelBook::Find(std::uint32_t address, std::uint8_t comm, std::uint8_t dev) const
{
    const std::uint32_t slot = m_slots[SlotOf(KeyOf(address, comm, dev))];
    return slot == 0 ? NO_PANEL : slot - 1;
}

void PanelBook::Grow()
{
    std::vector<std::uint32_t> old(m_slots.size() * 2);
    old.swap(m_slots);
    for (const std::uint32_t slot : old)
        if (slot != 0)
            m_slots[SlotOf(KeyOf(At(slot - 1)))] = slot;
}

std::chrono::milliseconds PanelBook::CheckPeriod() const
{
    const auto quarter = std::chrono::duration_cast<std::chrono::milliseconds>(m_limits.silence / 4);
    return std::clamp(quarter, std::chrono::milliseconds(20), std::chrono::milliseconds(1000));
}

void PanelBook::SetSilenceLimit(std::chrono::microseconds silence)
{
    m_limits.silence = silence;
    if (silence.count() > 0)
        return;
    for (std::uint32_t i = 0; i < m_size; ++i) {
        BookPanel& panel = At(i);
        if (panel.Missing()) {
            panel.flags = static_cast<std::uint8_t>(panel.flags & ~BookPanel::MISSING);
            MarkChanged(i);
        }
    }
    m_missing = 0;
}

void PanelBook::MarkMissing(std::uint32_t index, BookPanel& panel)
{
    panel.flags |= BookPanel::MISSING;
    if (panel.gaps != std::numeric_limits<std::uint32_t>::max())
        ++panel.gaps;
    ++m_missing;
    MarkChanged(index);
}

std::uint32_t PanelBook::Admit(const Endpoint& peer, const DecodedFrame& decoded, std::uint64_t key,
                               std::int64_t nowUs)
{
    const auto known = m_peers.find(peer.address);
    if (known == m_peers.end() && m_peers.size() >= m_limits.maxPeers)
        return NO_PANEL;
    if (known != m_peers.end())
        ++known->second;
    else
        m_peers.emplace(peer.address, 1);
    if ((m_size & (CHUNK - 1)) == 0) {
        m_chunks.push_back(std::make_unique<BookPanel[]>(CHUNK));
        m_changed.resize(m_chunks.size() * CHUNK / 64);
    }
    const std::uint32_t index = m_size++;
    BookPanel& panel = At(index);
    panel.address = peer.address;
    panel.port = peer.port;
    panel.comm = decoded.comm;
    panel.dev = decoded.device;
    panel.lastHeardUs = nowUs;
    m_slots[SlotOf(key)] = index + 1;
    if (m_size * 2 > m_slots.size())
        Grow();
    return index;
}

PanelBook::Heard PanelBook::Hear(const Endpoint& peer, const DecodedFrame& decoded, SteadyTime now,
                                 std::int64_t wallUs)
{
    ++m_counts.datagrams;
    Heard heard;
    if (!NamesPanel(decoded)) {
        heard.kind = decoded.ack ? PanelFrameKind::Acknowledgement : PanelFrameKind::Malformed;
        ++(decoded.ack ? m_counts.acknowledgements : m_counts.malformed);
        return heard;
    }
    const std::int64_t nowUs = Micros(now);
    const std::uint64_t key = KeyOf(peer.address, decoded.comm, decoded.device);
    // Panels that report periodically come round in the same order: the one after the last heard is the
    // likeliest, and the walk through the book is then one through memory.
    std::uint32_t index = NO_PANEL;
    if (m_next < m_size && KeyOf(At(m_next)) == key) {
        index = m_next;
    } else {
        const std::uint32_t slot = m_slots[SlotOf(key)];
        index = slot != 0 ? slot - 1 : Admit(peer, decoded, key, nowUs);
    }
    if (index == NO_PANEL) {
        ++m_counts.unfollowed;
        heard.kind = ReadPanelFrame(decoded, FIRST_STATUS).kind;
        return heard;
    }
    m_next = index + 1 < m_size ? index + 1 : 0;
    BookPanel& panel = At(index);
    // Before the events are logged: each names the port it came from. A panel that starts again may send
    // from another port.
    panel.port = peer.port;
    const PanelFrame frame = ReadPanelFrame(decoded, panel.status);
    heard.kind = frame.kind;
    heard.panel = index;
    switch (frame.kind) {
    case PanelFrameKind::Malformed:
        ++m_counts.malformed;
        break;
    case PanelFrameKind::Other:
        ++m_counts.other;
        break;
    case PanelFrameKind::Event:
    case PanelFrameKind::Status:
        Apply(index, panel, frame, wallUs, heard);
        break;
    case PanelFrameKind::Acknowledgement:
        break;
    }

    const std::int64_t silentUs = nowUs - panel.lastHeardUs;
    const auto silentMs = static_cast<std::uint64_t>(std::max<std::int64_t>(silentUs, 0) / 1000);
    panel.longestSilenceMs = static_cast<std::uint32_t>(
        std::max<std::uint64_t>(panel.longestSilenceMs, std::min<std::uint64_t>(silentMs, UINT32_MAX)));
    panel.lastHeardUs = nowUs;
    panel.lastHeardWallUs = wallUs;
    ++panel.frames;
    MarkChanged(index);
    if (panel.Missing()) {
        panel.flags = static_cast<std::uint8_t>(panel.flags & ~BookPanel::MISSING);
        --m_missing;
        heard.back = Report{Change::Back, index, silentUs};
    }
    return heard;
}

void PanelBook::Apply(std::uint32_t index, BookPanel& panel, const PanelFrame& frame, std::int64_t wallUs,
                      Heard& heard)
{
    if (frame.kind == PanelFrameKind::Status) {
        const bool wasInAlarm = panel.InAlarm();
        panel.status = frame.status;
        panel.flags |= BookPanel::HAS_STATUS;
        if (wasInAlarm != panel.InAlarm()) {
            if (wasInAlarm)
                --m_inAlarm;
            else
                ++m_inAlarm;
        }
    }
    heard.firstSeq = m_log.NextSeq();
    heard.events = static_cast<std::uint32_t>(frame.events.size());
    for (const PanelEvent& event : frame.events) {
        if (RaisesFault(event))
            panel.flags |= BookPanel::FAULT;
        else if (EndsFault(event))
            panel.flags = static_cast<std::uint8_t>(panel.flags & ~BookPanel::FAULT);
        m_log.Add({wallUs, index, panel.port, event});
        ++m_eventCounts[KindOf(event)];
    }
    m_counts.events += frame.events.size();
}

std::size_t PanelBook::KindOf(const PanelEvent& event)
{
    return event.row < EVENT_KINDS - 1 ? event.row : EVENT_KINDS - 1;
}

std::int64_t PanelBook::SilenceUs(const BookPanel& panel, SteadyTime now) const
{
    const std::int64_t longest = std::int64_t{panel.longestSilenceMs} * 1000;
    return panel.Missing() ? std::max(longest, Micros(now) - panel.lastHeardUs) : longest;
}

std::vector<std::uint32_t> PanelBook::LongestSilences(std::size_t count, SteadyTime now) const
{
    std::vector<std::uint32_t> all(m_size);
    for (std::uint32_t i = 0; i < m_size; ++i)
        all[i] = i;
    count = std::min(count, all.size());
    std::partial_sort(
        all.begin(), all.begin() + static_cast<std::ptrdiff_t>(count), all.end(),
        [&](std::uint32_t a, std::uint32_t b) { return SilenceUs(At(a), now) > SilenceUs(At(b), now); });
    all.resize(count);
    return all;
}

std::size_t PanelBook::PanelMemoryBytes() const
{
    return m_chunks.size() * CHUNK * sizeof(BookPanel) + m_chunks.capacity() * sizeof(m_chunks[0]) +
           m_slots.capacity() * sizeof(std::uint32_t) + m_changed.capacity() * sizeof(std::uint64_t) +
           m_peers.bucket_count() * sizeof(void*) +
           m_peers.size() * (sizeof(std::uint64_t) + 2 * sizeof(void*));
}

} // namespace veltrano
