#pragma once

#include "ui/event_log_model.h"
#include "ui/list_saver.h"
#include "ui/panel_table_model.h"
#include "ui/registry_model.h"

#include <QTimer>
#include <QWidget>

class CHostCenterEngine;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTableView;

// The panel view: what the centre knows of each panel it hears, the events their frames carried, and the
// window's own simulated panels. A window of its own that never blocks the console.
//
// It costs the centre nothing while closed: no timer runs and the models hold nothing; the engine still
// feeds its panel book. While open, a timer brings the models up to date at most REFRESHES_PER_SECOND
// times a second, each signalling only the rows that were added or changed.
class PanelView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PanelView)

public:
    static constexpr int REFRESH_PERIOD_MS = 100;
    static constexpr int FILTER_DELAY_MS = 250;

    explicit PanelView(CHostCenterEngine& engine, QWidget* parent = nullptr);
    ~PanelView() override;

    // As wide as the widest table's columns: the window shows them all at this width.
    int ContentWidth() const;

    // Brings everything up to date now rather than at the next tick.
    void Refresh();
    bool Refreshing() const { return m_refreshTimer.isActive(); }

    // The event log: only the events of the panel of the table's row (a row of the view), or all of them.
    void ShowEventsOf(int viewRow);
    void ShowAllEvents();
    QString EventLogSelectedText() const;
    void CopyEventLogSelection() const;
    // Starts saving the event log as it is shown now; a message box tells of a failure, and SaveFinished
    // follows it. False when nothing was started.
    bool SaveEventLog(const QString& path);

Q_SIGNALS:
    // An empty message when the file is complete.
    void SaveFinished(const QString& message);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QWidget* CreatePanelsTab();
    QWidget* CreateRegistryTab();
    QTableView* CreateTable(QAbstractItemModel* model, const QString& name);
    // Every text in the window's language, and the columns as wide as what they show in it.
    void Retranslate();
    // As wide as the widest table's columns, or as the screen when that is narrower.
    int FittingWidth() const;
    void OnSilenceLimitChanged(int seconds);
    void OnEventLogMenu(const QPoint& position);
    void AskAndSaveEventLog();
    void OnSaveFinished(const QString& message);
    void Tell(const QString& message);
    void UpdateCounts();
    void UpdateLogTitle();

    CHostCenterEngine& m_engine;
    PanelTableModel m_panels;
    PanelSortProxy m_sortedPanels;
    EventLogModel m_events;
    RegistryModel m_registry;
    EventLogLines m_savedLines;
    ListSaver m_saver{m_savedLines};
    QTimer m_refreshTimer;
    // Filtering tens of thousands of rows takes a while: once typing pauses, not at every key.
    QTimer m_filterTimer;
    bool m_registryDirty{true};

    QTabWidget* m_tabs{nullptr};
    QLineEdit* m_filter{nullptr};
    QSpinBox* m_silenceLimit{nullptr};
    QLabel* m_silenceLabel{nullptr};
    QLabel* m_counts{nullptr};
    QTableView* m_panelTable{nullptr};
    QLabel* m_logTitle{nullptr};
    QPushButton* m_showAll{nullptr};
    QTableView* m_eventLog{nullptr};
    QLabel* m_registryNote{nullptr};
    QTableView* m_registryTable{nullptr};
};
