#include "fleet/fleet_panels.h"

#include "fleet/fleet_inputs.h"
#include "sim/event_builder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <string_view>
#include <variant>

namespace veltrano {

namespace {

constexpr int RowOf(std::string_view key)
{
    for (int row = 0; row < EVENT_TYPE_COUNT; ++row)
        if (EVENT_CATALOGUE[static_cast<std::size_t>(row)].key == key)
            return row;
    return -1;
}

struct EventPair
{
    int opener;
    int closer;
};

// Events come as an opener and, one event later, its closer, so a panel's status goes somewhere and back.
constexpr std::array<EventPair, 11> PAIRS{{
    {RowOf("zone-alarm"), RowOf("zone-alarm-restore")},
    {RowOf("device-disarm"), RowOf("device-arm")},
    {RowOf("mains-absent"), RowOf("mains-present")},
    {RowOf("fault"), RowOf("fault-restore")},
    {RowOf("tamper"), RowOf("tamper-restore")},
    {RowOf("help"), RowOf("help-restore")},
    {RowOf("battery"), RowOf("battery-restore")},
    {RowOf("under-voltage"), RowOf("under-voltage-restore")},
    {RowOf("trigger"), RowOf("trigger-restore")},
    {RowOf("zone-disarm"), RowOf("zone-arm")},
    {RowOf("test-mode"), RowOf("work-mode")},
}};
static_assert(std::ranges::all_of(PAIRS, [](const EventPair& p) { return p.opener >= 0 && p.closer >= 0; }));
static_assert(PAIRS.size() <= 16);

constexpr int TEST_MODE_ROW = RowOf("test-mode");
constexpr int WORK_MODE_ROW = RowOf("work-mode");
constexpr std::uint8_t TEST_MODE_FLAG = 0x20;

constexpr std::uint64_t PANEL_BITS = 16;
constexpr std::uint64_t PANEL_MASK = (std::uint64_t{1} << PANEL_BITS) - 1;

// The row that sends a status frame as the status stands: the mode the panel is in already, which leaves
// every byte as it is. A heartbeat, and the resend of any status frame, are built by it.
int UnchangingStatusRow(const StatusBytes& status)
{
    return (status[DeviceFlags] & TEST_MODE_FLAG) != 0 ? TEST_MODE_ROW : WORK_MODE_ROW;
}

std::int64_t CeilMs(std::int64_t us)
{
    return (us + 999) / 1000;
}

// A panel's seeded place within its share of the heartbeat interval, 0 to 1: worked out again whenever it is
// wanted rather than kept per panel.
double Jitter(std::uint64_t seed, std::uint32_t panel)
{
    std::uint64_t z = seed + (std::uint64_t{panel} + 1) * 0x9E3779B97F4A7C15ULL; // splitmix64
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

} // namespace

FleetPanels::FleetPanels(const FleetConfig& config, const Endpoint& centre, MonoTime start)
    : m_config(config), m_centre(centre), m_start(start), m_panels(config.panels),
      m_matcher(AckMatcher::Limits{MatcherCapacity(config), {}}), m_random(config.seed)
{
    m_config.retries = std::min(m_config.retries, MAX_FLEET_RETRIES);
    if (config.eventsPerHour > 0)
        m_meanEventGapUs = 3600e6 / config.eventsPerHour;
    m_wakes.reserve(config.panels);
    for (std::uint32_t i = 0; i < config.panels; ++i) {
        m_panels[i].eventDueMs = NextEventMs(0);
        Schedule(i);
    }
}

// Heartbeats spread evenly over the interval, each panel at a seeded place within its share.
std::int64_t FleetPanels::HeartbeatDueUs(std::uint32_t index) const
{
    const std::int64_t period = m_config.heartbeat.count();
    const double share = static_cast<double>(period) / m_config.panels;
    return static_cast<std::int64_t>((index + Jitter(m_config.seed, index)) * share) +
           std::int64_t{m_panels[index].beat} * period;
}

std::int64_t FleetPanels::RetryDueUs(const Panel& panel) const
{
    const auto sentAt = m_matcher.SentAt(panel.ticket);
    if (!sentAt)
        return 0;
    const auto wait = panel.retries < m_config.retries ? m_config.retryInterval : m_config.timeout;
    return Micros(*sentAt) + wait.count();
}

std::size_t FleetPanels::MatcherCapacity(const FleetConfig& config)
{
    const double perSecond =
        config.panels * (1e6 / static_cast<double>(config.heartbeat.count()) + config.eventsPerHour / 3600.0);
    const auto longest = std::max(config.retryInterval, config.timeout);
    const double window = perSecond * static_cast<double>(longest.count()) / 1e6;
    return std::bit_ceil(static_cast<std::size_t>(window * 1.1) + 1024);
}

const char* FleetPanels::KindName(std::size_t kind)
{
    return kind < EVENT_CATALOGUE.size() ? EVENT_CATALOGUE[kind].key : "heartbeat";
}

std::int64_t FleetPanels::Micros(MonoTime now) const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(now - m_start).count();
}

std::uint32_t FleetPanels::NextEventMs(std::int64_t nowUs)
{
    if (m_meanEventGapUs <= 0)
        return NEVER;
    std::exponential_distribution<double> gap(1.0 / m_meanEventGapUs);
    const double due = static_cast<double>(nowUs) + gap(m_random);
    const double limit = std::chrono::duration_cast<std::chrono::microseconds>(MAX_FLEET_RUN).count();
    return due >= limit ? NEVER : static_cast<std::uint32_t>(CeilMs(static_cast<std::int64_t>(due)));
}

void FleetPanels::Schedule(std::uint32_t index)
{
    const Panel& panel = m_panels[index];
    std::int64_t wake = INT64_MAX;
    if (panel.kind != NONE)
        wake = std::min(wake, RetryDueUs(panel));
    if (!m_stopping) {
        if ((panel.flags & HEARTBEAT_DUE) == 0)
            wake = std::min(wake, HeartbeatDueUs(index));
        if ((panel.flags & EVENT_DUE) == 0 && panel.eventDueMs != NEVER)
            wake = std::min(wake, std::int64_t{panel.eventDueMs} * 1000);
    }
    if (wake == INT64_MAX)
        return;
    m_wakes.push_back((static_cast<std::uint64_t>(std::max<std::int64_t>(wake, 0)) << PANEL_BITS) | index);
    std::ranges::push_heap(m_wakes, std::greater<>{});
}

std::optional<MonoTime> FleetPanels::NextWake() const
{
    if (m_wakes.empty())
        return std::nullopt;
    return m_start + std::chrono::microseconds(m_wakes.front() >> PANEL_BITS);
}

void FleetPanels::Tick(MonoTime now, std::vector<Datagram>& out, std::size_t limit)
{
    const std::int64_t nowUs = Micros(now);
    const std::size_t end = out.size() + limit;
    while (!m_wakes.empty() && out.size() < end &&
           static_cast<std::int64_t>(m_wakes.front() >> PANEL_BITS) <= nowUs) {
        const auto index = static_cast<std::uint32_t>(m_wakes.front() & PANEL_MASK);
        std::ranges::pop_heap(m_wakes, std::greater<>{});
        m_wakes.pop_back();
        Service(index, nowUs, now, out);
        Schedule(index);
    }
}

void FleetPanels::Service(std::uint32_t index, std::int64_t nowUs, MonoTime now, std::vector<Datagram>& out)
{
    Panel& panel = m_panels[index];
    if (panel.kind != NONE && nowUs >= RetryDueUs(panel)) {
        if (panel.retries < m_config.retries) {
            Emit(index, panel.kind, now, true, out);
        } else {
            m_matcher.Forget(panel.ticket);
            ++m_kinds[panel.kind].lost;
            panel.kind = NONE;
            panel.flags |= LOST_ONE;
        }
    }
    if (m_stopping)
        return;
    if (const std::int64_t due = HeartbeatDueUs(index); (panel.flags & HEARTBEAT_DUE) == 0 && nowUs >= due) {
        // Heartbeats that fell due while a frame was out go as one.
        panel.beat += static_cast<std::uint32_t>((nowUs - due) / m_config.heartbeat.count() + 1);
        panel.flags |= HEARTBEAT_DUE;
    }
    if ((panel.flags & EVENT_DUE) == 0 && panel.eventDueMs != NEVER &&
        nowUs >= std::int64_t{panel.eventDueMs} * 1000)
        panel.flags |= EVENT_DUE;
    if (panel.kind == NONE)
        SendNext(index, nowUs, now, out);
}

void FleetPanels::SendNext(std::uint32_t index, std::int64_t nowUs, MonoTime now, std::vector<Datagram>& out)
{
    Panel& panel = m_panels[index];
    if ((panel.flags & EVENT_DUE) != 0) {
        if ((panel.flags & CLOSER_NEXT) == 0) {
            std::uniform_int_distribution<int> pair(0, static_cast<int>(PAIRS.size()) - 1);
            std::uniform_int_distribution<int> zone(1, MAX_ZONE_NUMBER);
            panel.pairZone = static_cast<std::uint8_t>(pair(m_random) | (zone(m_random) << 4));
        }
        const EventPair& pair = PAIRS[panel.pairZone & 0x0F];
        const int row = (panel.flags & CLOSER_NEXT) == 0 ? pair.opener : pair.closer;
        panel.flags ^= CLOSER_NEXT;
        panel.flags &= static_cast<std::uint8_t>(~EVENT_DUE);
        panel.eventDueMs = NextEventMs(nowUs);
        Emit(index, static_cast<std::size_t>(row), now, false, out);
    } else if ((panel.flags & HEARTBEAT_DUE) != 0) {
        panel.flags &= static_cast<std::uint8_t>(~HEARTBEAT_DUE);
        Emit(index, HEARTBEAT_KIND, now, false, out);
    }
}

void FleetPanels::Emit(std::uint32_t index, std::size_t kind, MonoTime now, bool retry,
                       std::vector<Datagram>& out)
{
    Panel& panel = m_panels[index];
    const std::uint32_t number = m_config.first + index;
    // A first send applies the event to the panel's status; a resend repeats the frame as it went, which
    // for a status frame is the status as it stands now.
    int row = static_cast<int>(kind);
    if (kind == HEARTBEAT_KIND || (retry && EVENT_CATALOGUE[kind].command == CMD_STATUS))
        row = UnchangingStatusRow(panel.status);
    auto built = BuildEvent(row, panel.status, PanelComm(number), PanelDev(number), (panel.pairZone >> 4));
    const auto& event = std::get<BuiltEvent>(built); // every row of the pairs has its zone
    panel.status = event.status;

    Datagram& datagram = out.emplace_back();
    datagram.panel = index;
    datagram.length = event.length;
    datagram.bytes = event.bytes;

    // A retry takes a new place in the matcher, so that a frame waits there one timeout at most; the
    // acknowledgement of either send answers it, both having the same key.
    if (retry) {
        m_matcher.Forget(panel.ticket);
        ++panel.retries;
        ++m_kinds[kind].retried;
    } else {
        panel.retries = 0;
        panel.kind = static_cast<std::uint8_t>(kind);
    }
    panel.ticket = m_matcher.Sent(m_centre, event.Frame(), index, now);
    ++m_kinds[kind].sent;
}

AckMatcher::Match FleetPanels::Received(const Endpoint& from, std::span<const std::uint8_t> bytes,
                                        MonoTime now, std::vector<Datagram>& out)
{
    const AckMatcher::Match match = m_matcher.Received(from, bytes, now);
    if (match.outcome != AckMatcher::Outcome::Answered || match.id >= m_panels.size())
        return match;
    const auto index = static_cast<std::uint32_t>(match.id);
    Panel& panel = m_panels[index];
    if (panel.kind != NONE) {
        ++m_kinds[panel.kind].acknowledged;
        panel.kind = NONE;
    }
    m_roundTrips.Add(match.rtt.count());
    // Its wake in the heap is no later than anything due now: a frame due goes at once, the rest waits.
    Service(index, Micros(now), now, out);
    return match;
}

FleetPanels::KindCounts FleetPanels::Totals() const
{
    KindCounts total;
    for (const KindCounts& kind : m_kinds) {
        total.sent += kind.sent;
        total.acknowledged += kind.acknowledged;
        total.retried += kind.retried;
        total.lost += kind.lost;
    }
    return total;
}

std::vector<std::uint32_t> FleetPanels::LostPanels() const
{
    std::vector<std::uint32_t> lost;
    for (std::uint32_t i = 0; i < m_panels.size(); ++i)
        if ((m_panels[i].flags & LOST_ONE) != 0)
            lost.push_back(i);
    return lost;
}

} // namespace veltrano
