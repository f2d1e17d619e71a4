#include "cli/centre_watch.h"

#include "cli/common_options.h"
#include "link/json_line.h"
#include "net/batch_udp_socket.h"

#include <fmt/format.h>

#include <cstdio>
#include <fstream>

#include <time.h>

namespace {

constexpr std::size_t LONGEST_SHOWN = 3;

double Seconds(std::int64_t microseconds)
{
    return static_cast<double>(microseconds) / 1e6;
}

std::string PanelName(const SupervisedPanel& panel)
{
    return fmt::format("{} {}:{}", panel.peer.ToString(), panel.comm, panel.dev);
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
    command->add_option("--supervise-report", options.reportPath, "Write the panels' table to FILE at the end")
        ->type_name("FILE");
    command->add_option("--metrics", options.metricsText, "Serve Prometheus metrics on /metrics (PORT: loopback)")
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
    if (m_options.superviseS > 0 || !m_options.reportPath.empty()) {
        const auto silence = std::chrono::microseconds(
            static_cast<std::int64_t>((m_options.superviseS > 0 ? m_options.superviseS : 60.0) * 1e6));
        m_start = MonoClock::now();
        m_supervisor = std::make_unique<Supervisor>(Supervisor::Limits{silence, Supervisor::DEFAULT_MAX_PEERS},
                                                    m_start);
        m_checkTimer.start(m_supervisor->CheckPeriod());
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

void CentreWatch::Supervise(const Endpoint& peer, const DecodedFrame& decoded)
{
    if (auto back = m_supervisor->Heard(peer, decoded, CoarseNow()))
        Report(*back);
}

void CentreWatch::Report(const Supervisor::Report& report)
{
    const bool missing = report.change == Supervisor::Change::Missing;
    ++(missing ? m_reportedMissing : m_reportedBack);
    const SupervisedPanel& panel = *report.panel;
    std::string& out = m_run.Output().Buffer();
    if (m_run.Output().Format() == veltrano::OutputFormat::JsonLines) {
        JsonLine(out)
            .Text("type", missing ? "missing" : "back")
            .Text("peer", panel.peer.ToString())
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

void CentreWatch::WriteReport(MonoTime now) const
{
    std::string lines;
    const std::int64_t nowUs = std::chrono::duration_cast<std::chrono::microseconds>(now - m_start).count();
    for (const SupervisedPanel& panel : m_supervisor->Panels()) {
        JsonLine line(lines);
        line.Text("type", "panel")
            .Text("peer", panel.peer.ToString())
            .Number("comm", panel.comm)
            .Number("dev", panel.dev)
            .Bool("missing", panel.missing)
            .Number("silent_s", Seconds(nowUs - panel.lastHeardUs))
            .Number("gaps", panel.gaps)
            .Number("longest_silence_s", Seconds(m_supervisor->SilenceUs(panel, now)));
        if (panel.hasStatus)
            line.Text("status", FormatBytesHex(panel.status));
        else
            line.Null("status");
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
    m_supervisor->Check(MonoClock::now(), [this](const Supervisor::Report& report) { Report(report); });
    m_run.EndOfBatch();
}

void CentreWatch::Publish()
{
    MetricsTotals totals;
    totals.framesReceived = m_received;
    totals.framesSent = m_acknowledged;
    totals.acknowledgements = m_acknowledged;
    totals.kernelDrops = m_socket != nullptr ? m_socket->KernelDrops() : 0;
    if (m_supervisor) {
        totals.panelsSeen = m_supervisor->Seen();
        totals.panelsMissing = m_supervisor->MissingNow();
    }
    m_metrics->Publish(totals);
}

std::span<const RecordField> CentreWatch::Summary() const
{
    m_fields.clear();
    if (!m_supervisor)
        return {};
    const MonoTime now = MonoClock::now();
    m_longest.clear();
    for (const SupervisedPanel* panel : m_supervisor->LongestSilences(LONGEST_SHOWN, now))
        m_longest += fmt::format("{}{}={:.3f}s", m_longest.empty() ? "" : ",", PanelName(*panel),
                                 Seconds(m_supervisor->SilenceUs(*panel, now)));
    if (!m_options.reportPath.empty())
        WriteReport(now);
    m_fields = {
        {"panels_seen", static_cast<std::uint64_t>(m_supervisor->Seen())},
        {"panels_missing", static_cast<std::uint64_t>(m_supervisor->MissingNow())},
        {"reported_missing", m_reportedMissing},
        {"reported_back", m_reportedBack},
        {"unfollowed", m_supervisor->Unfollowed()},
        {"longest_silences", std::string_view(m_longest)},
    };
    return m_fields;
}
