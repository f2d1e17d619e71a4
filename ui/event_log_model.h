#pragma once

#include "book/event_log.h"
#include "ui/list_saver.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace veltrano {
class PanelBook;
}

// The events the centre's panels' frames carried, oldest first: time, panel, the catalogue's name and the
// zone. All panels' events or one panel's. It keeps its own copy of what it shows (as many events as the
// book's log holds at most), so that the book may overwrite its oldest events at any time; Refresh() appends
// what came since the last look and drops rows past that bound from the top.
class EventLogModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventLogModel)

public:
    enum Column : int
    {
        TimeColumn,
        PanelColumn,
        EventColumn,
        ZoneColumn,
        ColumnCount,
    };
    static constexpr std::size_t CAPACITY = veltrano::EventLog::CAPACITY;

    explicit EventLogModel(const veltrano::PanelBook& book, QObject* parent = nullptr);
    ~EventLogModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // The texts a column shows at its widest, in the window's language: what the view sizes it on.
    QStringList WidestTexts(int column) const;
    // After a change of language: the headers and every row's words.
    void Retranslate();

    // Only the events of one panel of the book (its index), or all.
    void SetPanelFilter(std::optional<std::uint32_t> panel);
    std::optional<std::uint32_t> PanelFilter() const { return m_panel; }

    void Refresh();
    // Starts again from the book: after Release, or when the filter changes.
    void Reload();
    void Release();

    const std::deque<veltrano::LoggedEvent>& Events() const { return m_rows; }
    // The line a save or a copy writes for the event: the companion's event line.
    void AppendLine(std::string& out, const veltrano::LoggedEvent& event) const;

private:
    bool Shows(const veltrano::LoggedEvent& event) const { return !m_panel || event.panel == *m_panel; }

    const veltrano::PanelBook& m_book;
    std::deque<veltrano::LoggedEvent> m_rows;
    std::uint64_t m_nextSeq{0};
    std::optional<std::uint32_t> m_panel;
    std::vector<veltrano::LoggedEvent> m_batch; // reused from refresh to refresh
};

// The event log as it was when a save started: the lines stay what they were while the log goes on.
class EventLogLines final : public TextLines
{
public:
    explicit EventLogLines(const EventLogModel& model) : m_model(model) {}
    ~EventLogLines() = default;
    EventLogLines(const EventLogLines&) = delete;
    EventLogLines& operator=(const EventLogLines&) = delete;

    // Takes the rows the model shows now.
    void Take();

    std::size_t LineCount() const override { return m_events.size(); }
    std::uint64_t FirstLineSerial() const override { return 0; }
    void AppendLine(std::string& out, std::size_t row) const override;

private:
    const EventLogModel& m_model;
    std::vector<veltrano::LoggedEvent> m_events;
};
