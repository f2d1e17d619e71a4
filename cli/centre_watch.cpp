#include "cli/centre_watch.h"

#include "book/event_line.h"
#include "cli/common_options.h"
#include "link/json_line.h"
#include "net/batch_udp_socket.h"
#include "protocol/log_line.h"

#include <fmt/format.h>

#include <cstdio>
#include <fstream>

#include <time.h>

using namespace veltrano;

namespace {

constexpr std::size_t LONGEST_SHOWN = 3;

double Seconds(std::int64_t microseconds)
{
    return static_cast<double>(microseconds) / 1e6;
}

std::string PanelName(const veltrano::BookPanel& panel)
{
    return fmt::format("{} {}:{}", panel.Peer().ToString(), panel.comm, panel.dev);
}

// The decoded status of a panel in the report: zones in alarm and disarmed as numbers, device flags by the
// decoder's keys and in the catalogue's words, the fault.
void AddDecodedStatus(JsonLine& line, const veltrano::BookPanel& panel)
{
    const auto zones = [&line](std::string_view key, std::uint8_t bits) {
        std::string& out = line.Key(key);
        out += '[';
        veltrano::AppendZoneList(out, bits, ",");
        out += ']';
    };
    zones("alarm_zones", panel.status[ZoneAlarm]);
    zones("disarmed_zones", panel.status[ZoneDisarm]);
    AppendJsonKeys(line.Key("flags"), panel.status[DeviceFlags], DeviceFlagNames());
    std::string words;
    veltrano::AppendFlagWordsZh(words, panel.status[DeviceFlags], "、");
    line.Text("flags_zh", words).Bool("fault", panel.Fault());
}

const CLI::Validator& ListenValidator()
{
    static const CLI::Validator validator =
        FromParser([](std::string_view text) { return ParseListenAddress(text); }, "ADDR:PORT");
    return validator;
}

} // namespace

void AddCentreWatchOptions(CLI::App* command, CentreWatchOptions& options)
{
    command->add_option("--supervise", options.superviseS, "Report a panel silent for longer than S seconds")
        ->type_name("S")
        ->check(CLI::Range(0.001, 31'536'000.0));
    command
        ->add_option("--supervise-report", options.reportPath, "Write the panels' table to FILE at the end")
        ->type_name("FILE");
    command->add_flag("--events", options.events,
                      "Write a line per event a panel's frame carries, read against its last status");
    command
        ->add_option("--metrics", options.metricsText,
                     "Serve Prometheus metrics on /metrics (PORT: loopback)")
        ->type_name("ADDR:PORT")
        ->check(ListenValidator());
}

CentreWatch::CentreWatch(const CentreWatchOptions& options, CommandRun& run, QObject* parent)
    : QObject(parent), m_options(options), m_run(run)
{
    connect(&m_checkTimer, &QTimer::timeout, this, &CentreWatch::OnCheck);
    connect(&m_publishTimer, &QTimer::timeout, this, &CentreWatch::Publish);
}

CentreWatch::~CentreWatch() = default;

Status CentreWatch::Start(const BatchUdpSocket& socket)
{
    m_socket = &socket;
    const bool supervising = m_options.superviseS > 0 || !m_options.reportPath.empty();
    if (supervising || m_options.events || !m_options.metricsText.empty()) {
        // A report without a limit of its own tells silences of a minute, as it always has.
        const double silenceS = m_options.superviseS > 0 ? m_options.superviseS : supervising ? 60.0 : 0.0;
        const auto silence = std::chrono::microseconds(static_cast<std::int64_t>(silenceS * 1e6));
        m_start = MonoClock::now();
        m_book = std::make_unique<veltrano::PanelBook>(
            veltrano::PanelBook::Limits{silence, veltrano::PanelBook::DEFAULT_MAX_PEERS}, m_start);
        if (supervising)
            m_checkTimer.start(m_book->CheckPeriod());
    }
    if (auto metrics = StartAnnouncedMetrics(m_options.metricsText, m_metrics, m_publishTimer); !metrics)
        return metrics;
    return {};
}

// The monotonic clock at its tick's resolution (a few milliseconds), a fraction of the cost of a precise
// reading per datagram: silences are measured in seconds. Same epoch as steady_clock on Linux.
static MonoTime CoarseNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return MonoTime(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

void CentreWatch::Book(const FrameRecord& record)
{
    const auto heard = m_book->Hear(record.peer, record.decoded, CoarseNow(), record.wallUs);
    if (heard.back)
        Report(*heard.back);
    if (m_options.events && heard.events != 0)
        WriteEvents(heard, record);
}

// `<ts> event <peer> comm C dev D <key> [zone Z] (<index> <name>)`, or with --jsonl the event object of
// docs/frame.schema.json: the same index, key and name as `events --jsonl`.
void CentreWatch::WriteEvents(const veltrano::PanelBook::Heard& heard, const FrameRecord& record)
{
    const veltrano::BookPanel& panel = m_book->Panel(heard.panel);
    std::string& out = m_run.Output().Buffer();
    for (std::uint64_t seq = heard.firstSeq; seq < heard.firstSeq + heard.events; ++seq) {
        const veltrano::PanelEvent& event = m_book->Events().At(seq).event;
        const bool named = event.row != veltrano::STATUS_BITS_EVENT;
        if (m_run.Output().Format() == veltrano::OutputFormat::JsonLines) {
            JsonLine line(out);
            line.Text("type", "event");
            std::string& ts = line.Key("ts");
            ts += '"';
            AppendTimestampUtc(ts, record.wallUs);
            ts += '"';
            line.Text("peer", record.peer.ToString()).Number("comm", panel.comm).Number("dev", panel.dev);
            if (named)
                line.Number("index", event.row);
            else
                line.Null("index");
            line.Text("key", veltrano::EventKey(event)).Text("name", veltrano::EventNameZh(event));
            if (event.zone != 0)
                line.Number("zone", event.zone);
            if (!named)
                line.Text("byte", veltrano::StatusByteKey(event.byte)).Number("bits", event.bits);
            line.Number("seq", seq).End();
        } else {
            veltrano::AppendEventTextLine(out, record.wallUs, record.peer, panel.comm, panel.dev, event);
        }
    }
    m_run.Output().Written();
}

void CentreWatch::Report(const veltrano::PanelBook::Report& report)
{
    const bool missing = report.change == veltrano::PanelBook::Change::Missing;
    ++(missing ? m_reportedMissing : m_reportedBack);
    const veltrano::BookPanel& panel = m_book->Panel(report.panel);
    std::string& out = m_run.Output().Buffer();
    if (m_run.Output().Format() == veltrano::OutputFormat::JsonLines) {
        JsonLine(out)
            .Text("type", missing ? "missing" : "back")
            .Text("peer", panel.Peer().ToString())
            .Number("comm", panel.comm)
            .Number("dev", panel.dev)
            .Number("silent_s", Seconds(report.silentUs))
            .End();
    } else {
        out += fmt::format("{} {} (silent {:.3f} s)\n", missing ? "missing" : "back", PanelName(panel),
                           Seconds(report.silentUs));
    }
    m_run.Output().Written();
}

// A line per panel of the book, in the order they were first heard.
void CentreWatch::WriteReport(MonoTime now) const
{
    std::string lines;
    for (std::uint32_t i = 0; i < m_book->size(); ++i) {
        const veltrano::BookPanel& panel = m_book->Panel(i);
        JsonLine line(lines);
        line.Text("type", "panel")
            .Text("peer", panel.Peer().ToString())
            .Number("comm", panel.comm)
            .Number("dev", panel.dev)
            .Bool("missing", panel.Missing())
            .Number("silent_s", Seconds(m_book->SilentForUs(panel, now)))
            .Number("gaps", panel.gaps)
            .Number("longest_silence_s", Seconds(m_book->SilenceUs(panel, now)))
            .Number("frames", panel.frames);
        std::string& heard = line.Key("last_heard");
        heard += '"';
        AppendTimestampUtc(heard, panel.lastHeardWallUs);
        heard += '"';
        if (panel.HasStatus())
            line.Text("status", FormatBytesHex(panel.status));
        else
            line.Null("status");
        AddDecodedStatus(line, panel);
        line.End();
    }
    std::ofstream file(m_options.reportPath, std::ios::binary | std::ios::trunc);
    file << lines;
    file.close();
    if (!file)
        PrintError("cannot write " + m_options.reportPath);
}

void CentreWatch::OnCheck()
{
    m_book->Check(MonoClock::now(), [this](const veltrano::PanelBook::Report& report) { Report(report); });
    m_run.EndOfBatch();
}

void CentreWatch::Publish()
{
    MetricsTotals totals;
    totals.framesReceived = m_received;
    totals.framesSent = m_acknowledged;
    totals.acknowledgements = m_acknowledged;
    totals.kernelDrops = m_socket != nullptr ? m_socket->KernelDrops() : 0;
    if (m_book) {
        totals.panelsSeen = m_book->size();
        totals.panelsMissing = m_book->MissingNow();
        totals.panelsInAlarm = m_book->InAlarmNow();
        for (std::size_t kind = 0; kind < totals.events.size(); ++kind)
            totals.events[kind] = m_book->EventsOfKind(kind);
    }
    m_metrics->Publish(totals);
}

std::span<const RecordField> CentreWatch::Summary() const
{
    m_fields.clear();
    if (!m_book)
        return {};
    const MonoTime now = MonoClock::now();
    m_longest.clear();
    for (const std::uint32_t index : m_book->LongestSilences(LONGEST_SHOWN, now)) {
        const veltrano::BookPanel& panel = m_book->Panel(index);
        m_longest += fmt::format("{}{}={:.3f}s", m_longest.empty() ? "" : ",", PanelName(panel),
                                 Seconds(m_book->SilenceUs(panel, now)));
    }
    if (!m_options.reportPath.empty())
        WriteReport(now);
    m_fields = {
        {"panels_seen", static_cast<std::uint64_t>(m_book->size())},
        {"panels_missing", static_cast<std::uint64_t>(m_book->MissingNow())},
        {"panels_in_alarm", static_cast<std::uint64_t>(m_book->InAlarmNow())},
        {"events", m_book->Totals().events},
        {"reported_missing", m_reportedMissing},
        {"reported_back", m_reportedBack},
        {"unfollowed", m_book->Totals().unfollowed},
        {"longest_silences", std::string_view(m_longest)},
    };
    return m_fields;
}
