#pragma once

#include "book/centre_book.h"
#include "cli/command_run.h"
#include "metrics/metrics_endpoint.h"
#include "protocol/result.h"

#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

struct CentreWatchOptions
{
    double superviseS{0}; // 0: no supervision
    std::string reportPath;
    std::string metricsText; // ADDR:PORT; empty: none
    bool events{false};      // a line per event a panel's frame carries
};

// --supervise, --supervise-report, --events and --metrics, on `centre` and `proxy`.
void AddCentreWatchOptions(CLI::App* command, CentreWatchOptions& options);

// What a command that hears panels adds with those options: the book (veltrano::CentreBook) fed from its
// receive path and checked on a timer, its lines written, its report file at the end, and the metrics
// endpoint, fed with the command's own totals. Without them there is no book and nothing to do per datagram.
class CentreWatch final
{
public:
    using AddTotals = std::function<void(veltrano::MetricsTotals&)>;

    CentreWatch(const CentreWatchOptions& options, CommandRun& run, AddTotals addTotals);

    // Starts the endpoint and the checks once the socket that hears the panels is open.
    veltrano::Status Start(const BatchUdpSocket& socket);
    // Every datagram from a panel.
    void Heard(const veltrano::FrameRecord& record)
    {
        if (m_book)
            Book(record);
    }
    // The book's fields join the command's summary; their text is valid until the next call.
    void AppendSummary(std::vector<veltrano::RecordField>& fields) const;

private:
    void Book(const veltrano::FrameRecord& record);
    void OnCheck();
    void Publish();

    CentreWatchOptions m_options;
    CommandRun& m_run;
    AddTotals m_addTotals;
    const BatchUdpSocket* m_socket{nullptr};
    std::unique_ptr<veltrano::CentreBook> m_book;
    std::unique_ptr<veltrano::MetricsEndpoint> m_metrics;
    QTimer m_checkTimer;
    QTimer m_publishTimer;
    mutable std::string m_longest;
};
