#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QSortFilterProxyModel>
#include <QStringList>

#include <cstdint>
#include <string>

namespace veltrano {
class PanelBook;
struct BookPanel;
struct LoggedEvent;
} // namespace veltrano

// The panels the centre hears, one row each in the book's order: a panel keeps its row for good, so the
// table needs no bookkeeping of its own. Refresh() takes the panels the book marked changed since the last
// look: rows past the end are inserted, the others signalled changed in runs of adjacent rows.
//
// A panel with a zone in alarm stands out (BackgroundRole ALARM_BACKGROUND, bold); a missing one is grey.
class PanelTableModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PanelTableModel)

public:
    enum Column : int
    {
        CommColumn,
        DeviceColumn,
        PeerColumn,
        StateColumn,
        LastHeardColumn,
        FramesColumn,
        AlarmZonesColumn,
        DisarmedZonesColumn,
        FlagsColumn,
        FaultColumn,
        ColumnCount,
    };
    static constexpr QRgb ALARM_BACKGROUND = 0xFFFFC8C8;
    static constexpr QRgb MISSING_FOREGROUND = 0xFF8C8C8C;

    explicit PanelTableModel(veltrano::PanelBook& book, QObject* parent = nullptr);
    ~PanelTableModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // The texts a column shows at its widest, in the window's language: what the view sizes it on.
    QStringList WidestTexts(int column) const;
    // After a change of language: the headers and every row's words.
    void Retranslate();

    void Refresh();
    // Starts again from the book, forgetting its marks.
    void Reload();
    void Release();

    // For the proxy: the order of a column on the book's own values, and whether a row shows the text.
    bool Less(int left, int right, int column) const;
    bool Matches(int row, const QString& text) const;

private:
    QString Text(const veltrano::BookPanel& panel, int column) const;
    void SignalChanged(int first, int last);

    veltrano::PanelBook& m_book;
    int m_rows{0};
};

// Sorts and filters the panel table on the book's values, never on formatted texts: 57,600 panels sort in a
// few tens of milliseconds.
class PanelSortProxy final : public QSortFilterProxyModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PanelSortProxy)

public:
    explicit PanelSortProxy(QObject* parent = nullptr);
    ~PanelSortProxy() override;

    // Rows that show the text in a column other than time and frames; all rows for an empty text.
    void SetFilterText(const QString& text);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    const PanelTableModel* Panels() const;

    QString m_filter;
};

// "3:7 (127.0.0.1)".
QString PanelName(const veltrano::PanelBook& book, std::uint32_t panel);
