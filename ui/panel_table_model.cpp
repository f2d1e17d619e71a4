#include "ui/panel_table_model.h"

#include "book/panel_book.h"
#include "ui/frame_tooltip.h"
#include "ui/panel_texts.h"

#include <QFont>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

// What a column sorts on.
std::int64_t SortKey(const veltrano::BookPanel& panel, int column)
{
    switch (column) {
    case PanelTableModel::CommColumn:
        return panel.comm;
    case PanelTableModel::DeviceColumn:
        return panel.dev;
    case PanelTableModel::PeerColumn:
        return std::int64_t{panel.address} << 16 | panel.port;
    case PanelTableModel::StateColumn:
        return panel.Missing() ? 1 : 0;
    case PanelTableModel::LastHeardColumn:
        return panel.lastHeardWallUs;
    case PanelTableModel::FramesColumn:
        return static_cast<std::int64_t>(panel.frames);
    case PanelTableModel::AlarmZonesColumn:
        return panel.status[ZoneAlarm];
    case PanelTableModel::DisarmedZonesColumn:
        return panel.status[ZoneDisarm];
    case PanelTableModel::FlagsColumn:
        return panel.status[DeviceFlags];
    case PanelTableModel::FaultColumn:
        return panel.Fault() ? 1 : 0;
    default:
        return 0;
    }
}

bool IsNumberColumn(int column)
{
    return column == PanelTableModel::CommColumn || column == PanelTableModel::DeviceColumn ||
           column == PanelTableModel::FramesColumn;
}

} // namespace

PanelTableModel::PanelTableModel(veltrano::PanelBook& book, QObject* parent)
    : QAbstractTableModel(parent), m_book(book)
{}

PanelTableModel::~PanelTableModel() = default;

int PanelTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int PanelTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant PanelTableModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const veltrano::BookPanel& panel = m_book.Panel(static_cast<std::uint32_t>(index.row()));
    switch (role) {
    case Qt::DisplayRole:
        return Text(panel, index.column());
    case Qt::BackgroundRole:
        return panel.InAlarm() ? QVariant(QColor::fromRgb(ALARM_BACKGROUND)) : QVariant();
    case Qt::ForegroundRole:
        return panel.Missing() ? QVariant(QColor::fromRgb(MISSING_FOREGROUND)) : QVariant();
    case Qt::FontRole: {
        if (!panel.InAlarm())
            return {};
        QFont bold;
        bold.setBold(true);
        return bold;
    }
    case Qt::TextAlignmentRole:
        return IsNumberColumn(index.column()) ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    default:
        return {};
    }
}

QString PanelTableModel::Text(const veltrano::BookPanel& panel, int column) const
{
    switch (column) {
    case CommColumn:
        return QString::number(panel.comm);
    case DeviceColumn:
        return QString::number(panel.dev);
    case PeerColumn:
        return QString::fromStdString(panel.Peer().ToString());
    case StateColumn:
        return panel.Missing() ? tr("失联") : tr("在线");
    case LastHeardColumn:
        return FormatLocalTime(panel.lastHeardWallUs);
    case FramesColumn:
        return QString::number(panel.frames);
    case AlarmZonesColumn:
        return ZoneListText(panel.status[ZoneAlarm]);
    case DisarmedZonesColumn:
        return ZoneListText(panel.status[ZoneDisarm]);
    case FlagsColumn:
        return DeviceFlagsText(panel.status[DeviceFlags]);
    case FaultColumn:
        return panel.Fault() ? tr("故障") : QString();
    default:
        return {};
    }
}

QVariant PanelTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case CommColumn:
        return tr("通讯机号");
    case DeviceColumn:
        return tr("设备编号");
    case PeerColumn:
        return tr("对端地址");
    case StateColumn:
        return tr("状态");
    case LastHeardColumn:
        return tr("最后收到");
    case FramesColumn:
        return tr("帧数");
    case AlarmZonesColumn:
        return tr("报警防区");
    case DisarmedZonesColumn:
        return tr("撤防防区");
    case FlagsColumn:
        return tr("设备状态");
    case FaultColumn:
        return tr("故障");
    default:
        return {};
    }
}

QStringList PanelTableModel::WidestTexts(int column) const
{
    switch (column) {
    case CommColumn:
    case DeviceColumn:
        return {u"255"_s};
    case PeerColumn:
        return {u"255.255.255.255:65535"_s};
    case StateColumn:
        return {tr("失联"), tr("在线")};
    case LastHeardColumn:
        return {FormatLocalTime(0)};
    case FramesColumn:
        return {u"99999999"_s};
    case AlarmZonesColumn:
    case DisarmedZonesColumn:
        return {ZoneListText(0xFF)};
    case FlagsColumn:
        return {DeviceFlagsText(0xFF)};
    case FaultColumn:
        return {tr("故障")};
    default:
        return {};
    }
}

void PanelTableModel::Retranslate()
{
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    if (m_rows > 0)
        SignalChanged(0, m_rows - 1);
}

void PanelTableModel::Refresh()
{
    const int known = static_cast<int>(m_book.size());
    int first = -1;
    int last = -1;
    m_book.TakeChanged([&](std::uint32_t index) {
        const auto row = static_cast<int>(index);
        if (row >= m_rows)
            return; // inserted below
        if (row != last + 1 && first >= 0) {
            SignalChanged(first, last);
            first = -1;
        }
        if (first < 0)
            first = row;
        last = row;
    });
    if (first >= 0)
        SignalChanged(first, last);
    if (known > m_rows) {
        beginInsertRows({}, m_rows, known - 1);
        m_rows = known;
        endInsertRows();
    }
}

void PanelTableModel::Reload()
{
    beginResetModel();
    m_book.TakeChanged([](std::uint32_t) {});
    m_rows = static_cast<int>(m_book.size());
    endResetModel();
}

void PanelTableModel::Release()
{
    beginResetModel();
    m_rows = 0;
    endResetModel();
}

void PanelTableModel::SignalChanged(int first, int last)
{
    Q_EMIT dataChanged(index(first, 0), index(last, ColumnCount - 1));
}

bool PanelTableModel::Less(int left, int right, int column) const
{
    // Ties keep the order heard: the proxy's sort is stable.
    return SortKey(m_book.Panel(static_cast<std::uint32_t>(left)), column) <
           SortKey(m_book.Panel(static_cast<std::uint32_t>(right)), column);
}

bool PanelTableModel::Matches(int row, const QString& text) const
{
    const veltrano::BookPanel& panel = m_book.Panel(static_cast<std::uint32_t>(row));
    for (const int column : {CommColumn, DeviceColumn, PeerColumn, StateColumn, AlarmZonesColumn,
                             DisarmedZonesColumn, FlagsColumn, FaultColumn}) {
        if (Text(panel, column).contains(text, Qt::CaseInsensitive))
            return true;
    }
    return u"%1:%2"_s.arg(panel.comm).arg(panel.dev) == text;
}

PanelSortProxy::PanelSortProxy(QObject* parent) : QSortFilterProxyModel(parent) {}

PanelSortProxy::~PanelSortProxy() = default;

void PanelSortProxy::SetFilterText(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed == m_filter)
        return;
    m_filter = trimmed;
    invalidateFilter();
}

bool PanelSortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    return Panels()->Less(left.row(), right.row(), left.column());
}

bool PanelSortProxy::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    return m_filter.isEmpty() || sourceParent.isValid() || Panels()->Matches(sourceRow, m_filter);
}

const PanelTableModel* PanelSortProxy::Panels() const
{
    return static_cast<const PanelTableModel*>(sourceModel());
}

QString PanelName(const veltrano::PanelBook& book, std::uint32_t panel)
{
    if (panel >= book.size())
        return {};
    const veltrano::BookPanel& found = book.Panel(panel);
    // The peer's address without its port, which may change while the panel stays the same.
    const QString peer = QString::fromStdString(found.Peer().ToString());
    return u"%1:%2 (%3)"_s.arg(found.comm).arg(found.dev).arg(peer.left(peer.lastIndexOf(u':')));
}
