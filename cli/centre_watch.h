#pragma once

#include "book/centre_book.h"
#include "cli/command_run.h"
#include "cli/metrics.h"
#include "link/frame_record.h"
#include "protocol/result.h"

#include <QObject>
#include <QTimer>

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

class BatchUdpSocket;

struct CentreWatchOptions
{
    double superviseS{0}; // 0: no supervision
    std::string reportPath;
    std::string metricsText; // ADDR:PORT; empty: none
    bool events{false};      // a line per event a panel's frame carries
};

// --supervise, --supervise-report, --events and --metrics on `centre`.
void AddCentreWatchOptions(CLI::App* command, CentreWatchOptions& options);

// What the centre adds with those options: the book (veltrano::CentreBook) fed from its receive path and
// checked on a timer, its lines written, its report file at the end, and the metrics endpoint. Without them
// there is no book and nothing to do per datagram.
class CentreWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CentreWatch)

public:
    CentreWatch(const CentreWatchOptions& options, CommandRun& run, QObject* parent = nullptr);
    ~CentreWatch() override;

    // Starts the endpoint and the checks once the centre's socket is open.
    veltrano::Status Start(const BatchUdpSocket& socket);
    // Every datagram the centre takes.
    void Heard(const veltrano::FrameRecord& record)
    {
        ++m_received;
        if (m_book)
            Book(record);
    }
    void Acknowledged(std::uint64_t count) { m_acknowledged += count; }
    // The book's fields of the centre's summary, valid until the next call.
    std::span<const veltrano::RecordField> Summary() const;

private:
    void Book(const veltrano::FrameRecord& record);
    veltrano::Status WriteReport(const std::string& path) const;
    void OnCheck();
    void Publish();

    CentreWatchOptions m_options;
    CommandRun& m_run;
    const BatchUdpSocket* m_socket{nullptr};
    std::unique_ptr<veltrano::CentreBook> m_book;
    std::unique_ptr<veltrano::MetricsEndpoint> m_metrics;
    QTimer m_checkTimer;
    QTimer m_publishTimer;
    std::uint64_t m_received{0};
    std::uint64_t m_acknowledged{0};
    mutable std::string m_longest;
    mutable std::vector<veltrano::RecordField> m_fields;
};
