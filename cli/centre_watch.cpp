#include "cli/centre_watch.h"

#include "cli/common_options.h"
#include "cli/metrics.h"
#include "link/ack_matcher.h"

#include <CLI/CLI.hpp>

using namespace veltrano;

void AddCentreWatchOptions(CLI::App* command, CentreWatchOptions& options)
{
    AddCheckedOption(command, "--supervise", options.superviseS,
                     "Report a panel silent for longer than S seconds", "S", CLI::Range(0.001, 31'536'000.0));
    AddTypedOption(command, "--supervise-report", options.reportPath,
                   "Write the panels' table to FILE at the end", "FILE");
    command->add_flag("--events", options.events,
                      "Write a line per event a panel's frame carries, read against its last status");
    AddMetricsOption(command, options.metricsText);
}

CentreWatch::CentreWatch(const CentreWatchOptions& options, CommandRun& run, AddTotals addTotals)
    : m_options(options), m_run(run), m_addTotals(std::move(addTotals))
{
    OnTimeout(m_checkTimer, [this] { OnCheck(); });
    OnTimeout(m_publishTimer, [this] { Publish(); });
    m_run.OnEndFile(options.reportPath, [this](const std::string& path) {
        return m_book ? m_book->WriteTable(path, MonoClock::now()) : Status{};
    });
}

Status CentreWatch::Start(const BatchUdpSocket& socket)
{
    m_socket = &socket;
    const CentreBook::Options book{m_options.superviseS, !m_options.reportPath.empty(), m_options.events,
                                   !m_options.metricsText.empty()};
    if (CentreBook::Needed(book)) {
        m_book = std::make_unique<CentreBook>(book, m_run.Output().Format(), MonoClock::now());
        if (m_book->Supervising())
            m_checkTimer.start(m_book->Book().CheckPeriod());
    }
    return StartAnnouncedMetrics(m_options.metricsText, m_metrics, m_publishTimer);
}

void CentreWatch::AppendSummary(std::vector<RecordField>& fields) const
{
    if (!m_book)
        return;
    const auto book = m_book->SummaryFields(MonoClock::now(), m_longest);
    fields.insert(fields.end(), book.begin(), book.end());
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
    MetricsTotals totals{.kernelDrops = m_socket != nullptr ? m_socket->KernelDrops() : 0};
    m_addTotals(totals);
    if (m_book)
        AddBookTotals(totals, m_book->Book());
    m_metrics->Publish(totals);
}
