#include "book/centre_book.h"

#include "book/event_line.h"
#include "link/json_line.h"
#include "protocol/log_line.h"

#include <fmt/format.h>

#include <time.h>

#include <fstream>

namespace veltrano {

namespace {

double Seconds(std::int64_t microseconds)
{
    return static_cast<double>(microseconds) / 1e6;
}

std::string PanelName(const BookPanel& panel)
{
    return fmt::format("{} {}:{}", panel.Peer().ToString(), panel.comm, panel.dev);
}

void AppendQuotedTimestamp(JsonLine& line, std::string_view key, std::int64_t wallUs)
{
    std::string& out = line.Key(key);
    out += '"';
    AppendTimestampUtc(out, wallUs);
    out += '"';
}

// The decoded status of a panel in the report: zones in alarm and disarmed as numbers, device flags by the
// decoder's keys and in the catalogue's words, the fault.
void AddDecodedStatus(JsonLine& line, const BookPanel& panel)
{
    const auto zones = [&line](std::string_view key, std::uint8_t bits) {
        std::string& out = line.Key(key);
        out += '[';
        AppendZoneList(out, bits, ",");
        out += ']';
    };
    zones("alarm_zones", panel.status[ZoneAlarm]);
    zones("disarmed_zones", panel.status[ZoneDisarm]);
    AppendJsonKeys(line.Key("flags"), panel.status[DeviceFlags], DeviceFlagNames());
    std::string words;
    AppendFlagWordsZh(words, panel.status[DeviceFlags], "、");
    line.Text("flags_zh", words).Bool("fault", panel.Fault());
}

} // namespace

SteadyTime CoarseNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return SteadyTime(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

bool CentreBook::Needed(const Options& options)
{
    return options.superviseS > 0 || options.report || options.events || options.metrics;
}

CentreBook::CentreBook(const Options& options, OutputFormat format, SteadyTime start)
    : m_supervising(options.superviseS > 0 || options.report), m_events(options.events), m_format(format),
      m_book(PanelBook::Limits{SilenceLimit(options), PanelBook::DEFAULT_MAX_PEERS}, start)
{}

std::chrono::microseconds CentreBook::SilenceLimit(const Options& options)
{
    const double seconds = options.superviseS > 0 ? options.superviseS
                           : options.report       ? REPORT_SILENCE_S
                                                  : 0.0;
    return std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6));
}

void CentreBook::Hear(std::string& out, const Endpoint& peer, const DecodedFrame& decoded, SteadyTime now,
                      std::int64_t wallUs)
{
    const auto heard = m_book.Hear(peer, decoded, now, wallUs);
    if (heard.back)
        AppendReport(out, *heard.back);
    if (m_events && heard.events != 0)
        AppendEvents(out, heard, peer, wallUs);
}

void CentreBook::Check(std::string& out, SteadyTime now)
{
    m_book.Check(now, [&](const PanelBook::Report& report) { AppendReport(out, report); });
}

void CentreBook::AppendReport(std::string& out, const PanelBook::Report& report)
{
    const bool missing = report.change == PanelBook::Change::Missing;
    ++(missing ? m_reportedMissing : m_reportedBack);
    const BookPanel& panel = m_book.Panel(report.panel);
    if (m_format == OutputFormat::JsonLines)
        JsonLine(out)
            .Text("type", missing ? "missing" : "back")
            .Text("peer", panel.Peer().ToString())
            .Number("comm", panel.comm)
            .Number("dev", panel.dev)
            .Number("silent_s", Seconds(report.silentUs))
            .End();
    else
        out += fmt::format("{} {} (silent {:.3f} s)\n", missing ? "missing" : "back", PanelName(panel),
                           Seconds(report.silentUs));
}

// `<ts> event <peer> comm C dev D <key> [zone Z] (<index> <name>)`, or as JSON the event object of
// docs/frame.schema.json: the same index, key and name as `events --jsonl`.
void CentreBook::AppendEvents(std::string& out, const PanelBook::Heard& heard, const Endpoint& peer,
                              std::int64_t wallUs) const
{
    const BookPanel& panel = m_book.Panel(heard.panel);
    for (std::uint64_t seq = heard.firstSeq; seq < heard.firstSeq + heard.events; ++seq) {
        const PanelEvent& event = m_book.Events().At(seq).event;
        if (m_format != OutputFormat::JsonLines) {
            AppendEventTextLine(out, wallUs, peer, panel.comm, panel.dev, event);
            continue;
        }
        const bool named = event.row != STATUS_BITS_EVENT;
        JsonLine line(out);
        line.Text("type", "event");
        AppendQuotedTimestamp(line, "ts", wallUs);
        line.Text("peer", peer.ToString()).Number("comm", panel.comm).Number("dev", panel.dev);
        if (named)
            line.Number("index", event.row);
        else
            line.Null("index");
        line.Text("key", EventKey(event)).Text("name", EventNameZh(event));
        if (event.zone != 0)
            line.Number("zone", event.zone);
        if (!named)
            line.Text("byte", StatusByteKey(event.byte)).Number("bits", event.bits);
        line.Number("seq", seq).End();
    }
}

std::string CentreBook::Table(SteadyTime now) const
{
    std::string lines;
    for (std::uint32_t i = 0; i < m_book.size(); ++i) {
        const BookPanel& panel = m_book.Panel(i);
        JsonLine line(lines);
        line.Text("type", "panel")
            .Text("peer", panel.Peer().ToString())
            .Number("comm", panel.comm)
            .Number("dev", panel.dev)
            .Bool("missing", panel.Missing())
            .Number("silent_s", Seconds(m_book.SilentForUs(panel, now)))
            .Number("gaps", panel.gaps)
            .Number("longest_silence_s", Seconds(m_book.SilenceUs(panel, now)))
            .Number("frames", panel.frames);
        AppendQuotedTimestamp(line, "last_heard", panel.lastHeardWallUs);
        if (panel.HasStatus())
            line.Text("status", FormatBytesHex(panel.status));
        else
            line.Null("status");
        AddDecodedStatus(line, panel);
        line.End();
    }
    return lines;
}

std::vector<RecordField> CentreBook::SummaryFields(SteadyTime now, std::string& longest) const
{
    longest.clear();
    for (const std::uint32_t index : m_book.LongestSilences(LONGEST_SHOWN, now)) {
        const BookPanel& panel = m_book.Panel(index);
        longest += fmt::format("{}{}={:.3f}s", longest.empty() ? "" : ",", PanelName(panel),
                               Seconds(m_book.SilenceUs(panel, now)));
    }
    return {
        {"panels_seen", static_cast<std::uint64_t>(m_book.size())},
        {"panels_missing", static_cast<std::uint64_t>(m_book.MissingNow())},
        {"panels_in_alarm", static_cast<std::uint64_t>(m_book.InAlarmNow())},
        {"events", m_book.Totals().events},
        {"reported_missing", m_reportedMissing},
        {"reported_back", m_reportedBack},
        {"unfollowed", m_book.Totals().unfollowed},
        {"longest_silences", std::string_view(longest)},
    };
}

Status CentreBook::WriteTable(const std::string& path, SteadyTime now) const
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << Table(now);
    file.close();
    if (!file)
        return Failure("cannot write " + path);
    return {};
}

} // namespace veltrano
