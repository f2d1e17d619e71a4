#include "ui/registry_model.h"

#include "registry/device_registry.h"
#include "ui/panel_texts.h"

#include <algorithm>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

RegistryModel::RegistryModel(const CDeviceRegistry& registry, QObject* parent)
    : QAbstractTableModel(parent), m_registry(registry)
{}

RegistryModel::~RegistryModel() = default;

int RegistryModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int RegistryModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RegistryModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row& row = m_rows[static_cast<std::size_t>(index.row())];
    if (role == Qt::TextAlignmentRole)
        return index.column() <= DeviceColumn ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case CommColumn:
        return row.comm;
    case DeviceColumn:
        return row.device;
    case AlarmZonesColumn:
        return ZoneListText(row.status[ZoneAlarm]);
    case DisarmedZonesColumn:
        return ZoneListText(row.status[ZoneDisarm]);
    case FlagsColumn:
        return DeviceFlagsText(row.status[DeviceFlags]);
    case StatusBytesColumn:
        return StatusBytesText(row.status);
    default:
        return {};
    }
}

QVariant RegistryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case CommColumn:
        return tr("通讯机号");
    case DeviceColumn:
        return tr("设备编号");
    case AlarmZonesColumn:
        return tr("报警防区");
    case DisarmedZonesColumn:
        return tr("撤防防区");
    case FlagsColumn:
        return tr("设备状态");
    case StatusBytesColumn:
        return tr("状态字节");
    default:
        return {};
    }
}

QStringList RegistryModel::WidestTexts(int column) const
{
    switch (column) {
    case CommColumn:
    case DeviceColumn:
        return {u"255"_s};
    case AlarmZonesColumn:
    case DisarmedZonesColumn:
        return {ZoneListText(0xFF)};
    case FlagsColumn:
        return {DeviceFlagsText(0xFF)};
    default:
        return {}; // the status bytes are the last column: it takes what room is left
    }
}

void RegistryModel::Retranslate()
{
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    if (!m_rows.empty())
        Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}

std::vector<RegistryModel::Row> RegistryModel::Snapshot() const
{
    std::vector<Row> rows;
    for (const auto& comm : m_registry.Comms())
        for (const auto& device : comm->m_devices)
            rows.push_back({comm->m_commNo, device->m_deviceNo, device->m_status});
    return rows;
}

void RegistryModel::Refresh()
{
    const std::vector<Row> next = Snapshot();
    // Both in ascending order, and the registry never loses an entry: a key that is not where the table has
    // it is new and goes in before it.
    std::vector<int> changed;
    std::size_t i = 0;
    while (i < next.size()) {
        if (i < m_rows.size() && m_rows[i].Key() == next[i].Key()) {
            if (m_rows[i].status != next[i].status) {
                m_rows[i].status = next[i].status;
                changed.push_back(static_cast<int>(i));
            }
            ++i;
            continue;
        }
        if (i < m_rows.size() && m_rows[i].Key() < next[i].Key())
            break; // an entry went away after all: start again below
        std::size_t end = i + 1;
        while (end < next.size() && (i >= m_rows.size() || next[end].Key() < m_rows[i].Key()))
            ++end;
        beginInsertRows({}, static_cast<int>(i), static_cast<int>(end - 1));
        m_rows.insert(m_rows.begin() + static_cast<std::ptrdiff_t>(i),
                      next.begin() + static_cast<std::ptrdiff_t>(i),
                      next.begin() + static_cast<std::ptrdiff_t>(end));
        endInsertRows();
        i = end;
    }
    if (i < next.size() || m_rows.size() != next.size()) {
        beginResetModel();
        m_rows = next;
        endResetModel();
        return;
    }
    EmitChanged(changed);
}

void RegistryModel::Release()
{
    if (m_rows.empty())
        return;
    beginResetModel();
    m_rows = {};
    endResetModel();
}

void RegistryModel::EmitChanged(const std::vector<int>& rows)
{
    // One signal per run of adjacent rows.
    for (std::size_t first = 0; first < rows.size();) {
        std::size_t last = first;
        while (last + 1 < rows.size() && rows[last + 1] == rows[last] + 1)
            ++last;
        Q_EMIT dataChanged(index(rows[first], 0), index(rows[last], ColumnCount - 1), {Qt::DisplayRole});
        first = last + 1;
    }
}
