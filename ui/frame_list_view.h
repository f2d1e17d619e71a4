#pragma once

#include "ui/frame_list_store.h"

#include <QAbstractScrollArea>
#include <QTimer>

#include <cstddef>

// A log list that stays fast at millions of lines: fixed row height, only the visible rows are formatted
// and painted, and appends only mark the view dirty; a coalescing timer then updates the scroll range.
// New lines go to the end without scrolling to them or selecting anything.
class FrameListView final : public QAbstractScrollArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FrameListView)

public:
    explicit FrameListView(QWidget* parent = nullptr);
    ~FrameListView() override;

    void AppendFrame(const LoggedFrame& frame);
    void Clear();

    std::size_t count() const { return m_store.Count(); }
    QString text(std::size_t row) const { return m_store.Text(row); }
    const FrameListStore& Store() const { return m_store; }

    // The selected rows, first <= last; empty when nothing is selected.
    bool HasSelection() const { return m_anchor >= 0; }
    std::size_t SelectionFirst() const;
    std::size_t SelectionLast() const;
    QString SelectedText() const;
    void CopySelection() const;

    int RowHeight() const { return m_rowHeight; }
    std::size_t FirstVisibleRow() const;
    // Whether a refresh for appended lines is still pending.
    bool RefreshPending() const { return m_refreshTimer.isActive(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void OnRefreshTimer();
    void UpdateScrollRange();
    int VisibleRowCount() const;
    // Row under a viewport position, or -1 below the last line.
    qint64 RowAt(int y) const;
    void SelectRow(qint64 row, bool extend);
    void EnsureVisible(qint64 row);

    FrameListStore m_store;
    QTimer m_refreshTimer;
    std::size_t m_rowsInRange{0}; // rows the scroll range and last repaint account for
    int m_rowHeight{1};
    qint64 m_anchor{-1};
    qint64 m_current{-1};
};
