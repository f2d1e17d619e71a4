#include "cli/centre_watch.h"

#include "cli/common_options.h"
#include "net/batch_udp_socket.h"

#include <fstream>

#include <time.h>

using namespace veltrano;

namespace {

// The monotonic clock at its tick's resolution (a few milliseconds), a fraction of the cost of a precise
// reading per datagram: silences are measured in seconds. Same epoch as steady_clock on Linux.
MonoTime CoarseNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return MonoTime(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
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
    AddMetricsOption(command, options.metricsText);
}

CentreWatch::CentreWatch(const CentreWatchOptions& options, CommandRun& run, QObject* parent)
    : QObject(parent), m_options(options), m_run(run)
{
    connect(&m_checkTimer, &QTimer::timeout, this, &CentreWatch::OnCheck);
    connect(&m_publishTimer, &QTimer::timeout, this, &CentreWatch::Publish);
    if (!options.reportPath.empty())
        m_run.OnEndFile(options.reportPath, [this](const std::string& path) { return WriteReport(path); });
}

CentreWatch::~CentreWatch() = default;

Status CentreWatch::Start(const BatchUdpSocket& socket)
{
    m_socket = &socket;
    const veltrano::CentreBook::Options book{m_options.superviseS, !m_options.reportPath.empty(),
                                             m_options.events, !m_options.metricsText.empty()};
    if (veltrano::CentreBook::Needed(book)) {
        m_book = std::make_unique<veltrano::CentreBook>(book, m_run.Output().Format(), MonoClock::now());
        if (m_book->Supervising())
            m_checkTimer.start(m_book->Book().CheckPeriod());
    }
    return StartAnnouncedMetrics(m_options.metricsText, m_metrics, m_publishTimer);
}

void CentreWatch::Book(const FrameRecord& record)
{
    std::string& out = m_run.Output().Buffer();
    m_book->Hear(out, record.peer, record.decoded, CoarseNow(), record.wallUs);
    m_run.Output().Written();
}

void CentreWatch::OnCheck()
{
    m_book->Check(m_run.Output().Buffer(), MonoClock::now());
    m_run.Output().Written();
    m_run.EndOfBatch();
}

void CentreWatch::Publish()
{
    veltrano::MetricsTotals totals{.framesReceived = m_received,
                                   .framesSent = m_acknowledged,
                                   .acknowledgements = m_acknowledged,
                                   .kernelDrops = m_socket != nullptr ? m_socket->KernelDrops() : 0};
    if (m_book)
        veltrano::AddBookTotals(totals, m_book->Book());
    m_metrics->Publish(totals);
}

// A file that cannot be written is an error of the run, as a capture's is.
Status CentreWatch::WriteReport(const std::string& path) const
{
    if (!m_book)
        return {};
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << m_book->Table(MonoClock::now());
    file.close();
    if (!file)
        return Failure("cannot write " + path);
    return {};
}

std::span<const RecordField> CentreWatch::Summary() const
{
    m_fields.clear();
    if (!m_book)
        return {};
    m_fields = m_book->SummaryFields(MonoClock::now(), m_longest);
    return m_fields;
}
