#pragma once

#include "protocol/frame.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace veltrano {
class CDeviceRegistry;
}

// The window's own simulated panels as a table: communicator, device and the status each holds now,
// decoded. The registry has no signals of its own: Refresh() compares it with what the table shows and
// signals only the rows inserted and changed. Release() lets go of the rows while nobody looks.
class RegistryModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RegistryModel)

public:
    enum Column : int
    {
        CommColumn,
        DeviceColumn,
        AlarmZonesColumn,
        DisarmedZonesColumn,
        FlagsColumn,
        StatusBytesColumn,
        ColumnCount,
    };

    explicit RegistryModel(const veltrano::CDeviceRegistry& registry, QObject* parent = nullptr);
    ~RegistryModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // The texts a column shows at its widest, in the window's language: what the view sizes it on.
    QStringList WidestTexts(int column) const;
    // After a change of language: the headers and every row's words.
    void Retranslate();

    void Refresh();
    void Release();

private:
    struct Row
    {
        std::uint8_t comm{0};
        std::uint8_t device{0};
        veltrano::StatusBytes status{};

        std::uint16_t Key() const { return static_cast<std::uint16_t>((comm << 8) | device); }
    };

    std::vector<Row> Snapshot() const;
    void EmitChanged(const std::vector<int>& rows);

    const veltrano::CDeviceRegistry& m_registry;
    std::vector<Row> m_rows;
};
