#include "ui/event_log_model.h"

#include "book/event_line.h"
#include "book/panel_book.h"
#include "sim/event_catalogue.h"
#include "ui/frame_tooltip.h"
#include "ui/panel_table_model.h"
#include "ui/panel_texts.h"

#include <algorithm>
#include <string>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

EventLogModel::EventLogModel(const veltrano::PanelBook& book, QObject* parent)
    : QAbstractTableModel(parent), m_book(book)
{}

EventLogModel::~EventLogModel() = default;

int EventLogModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int EventLogModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant EventLogModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    if (role != Qt::DisplayRole)
        return {};
    const veltrano::LoggedEvent& event = m_rows[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case TimeColumn:
        return FormatLocalTime(event.wallUs);
    case PanelColumn:
        return PanelName(m_book, event.panel);
    case EventColumn:
        return EventNameText(event.event);
    case ZoneColumn:
        return EventDetailText(event.event);
    default:
        return {};
    }
}

QVariant EventLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case TimeColumn:
        return tr("时间");
    case PanelColumn:
        return tr("面板");
    case EventColumn:
        return tr("事件");
    case ZoneColumn:
        return tr("防区");
    default:
        return {};
    }
}

QStringList EventLogModel::WidestTexts(int column) const
{
    switch (column) {
    case TimeColumn:
        return {FormatLocalTime(0)};
    case PanelColumn:
        return {u"255:255 (255.255.255.255)"_s};
    case EventColumn: {
        QStringList names{EventNameText({.row = veltrano::STATUS_BITS_EVENT})};
        for (int row = 0; row < EVENT_TYPE_COUNT; ++row)
            names << EventNameText({.row = static_cast<std::uint8_t>(row)});
        return names;
    }
    default:
        return {}; // the zone column is the last: it takes what room is left
    }
}

void EventLogModel::Retranslate()
{
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    if (!m_rows.empty())
        Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}

void EventLogModel::SetPanelFilter(std::optional<std::uint32_t> panel)
{
    if (panel == m_panel)
        return;
    m_panel = panel;
    Reload();
}

void EventLogModel::Refresh()
{
    m_batch.clear();
    m_nextSeq =
        m_book.Events().ForEachSince(m_nextSeq, [this](std::uint64_t, const veltrano::LoggedEvent& event) {
            if (Shows(event))
                m_batch.push_back(event);
        });
    if (m_batch.empty())
        return;
    // The oldest rows make room first, so that the table never holds more than the bound.
    const std::size_t kept = CAPACITY - std::min(CAPACITY, m_batch.size());
    if (m_rows.size() > kept) {
        const std::size_t dropped = m_rows.size() - kept;
        beginRemoveRows({}, 0, static_cast<int>(dropped - 1));
        m_rows.erase(m_rows.begin(), m_rows.begin() + static_cast<std::ptrdiff_t>(dropped));
        endRemoveRows();
    }
    const std::size_t from = m_batch.size() - std::min(CAPACITY, m_batch.size());
    const auto first = static_cast<int>(m_rows.size());
    beginInsertRows({}, first, first + static_cast<int>(m_batch.size() - from) - 1);
    m_rows.insert(m_rows.end(), m_batch.begin() + static_cast<std::ptrdiff_t>(from), m_batch.end());
    endInsertRows();
}

void EventLogModel::Reload()
{
    beginResetModel();
    m_rows.clear();
    m_nextSeq = m_book.Events().ForEachSince(0, [this](std::uint64_t, const veltrano::LoggedEvent& event) {
        if (Shows(event))
            m_rows.push_back(event);
    });
    endResetModel();
}

void EventLogModel::Release()
{
    beginResetModel();
    m_rows = {};
    m_batch = {};
    m_nextSeq = 0;
    endResetModel();
}

void EventLogModel::AppendLine(std::string& out, const veltrano::LoggedEvent& event) const
{
    if (event.panel >= m_book.size())
        return;
    const veltrano::BookPanel& panel = m_book.Panel(event.panel);
    veltrano::AppendEventTextLine(out, event.wallUs, {panel.address, event.port}, panel.comm, panel.dev,
                                  event.event);
}

void EventLogLines::Take()
{
    m_events.assign(m_model.Events().begin(), m_model.Events().end());
}

void EventLogLines::AppendLine(std::string& out, std::size_t row) const
{
    m_model.AppendLine(out, m_events[row]);
}
