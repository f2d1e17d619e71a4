#pragma once

#include "protocol/log_line.h"
#include "ui/frame_list_accessible.h"
#include "ui/frame_list_store.h"
#include "ui/list_saver.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class QMenu;

// A log list that stays fast at millions of lines: fixed row height, only the visible rows are formatted
// and painted, and appends only mark the view dirty; a coalescing timer then updates the scroll range.
// New lines go to the end without scrolling to them or selecting anything.
//
// For reading the traffic: a line's tooltip explains it (FrameToolTip), a sent line whose send failed is
// drawn red and a received line with findings dark orange, and the context menu copies, selects all,
// saves as text or pcap and shows the list's counts.
class FrameListView final : public QAbstractScrollArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FrameListView)

public:
    static constexpr QRgb FAILED_SEND_COLOUR = 0xFFCC0000;
    static constexpr QRgb FINDINGS_COLOUR = 0xFFC86400;

    explicit FrameListView(QWidget* parent = nullptr);
    ~FrameListView() override;

    // Which way the list's frames went (colours, tooltips, saved files); received unless set.
    void SetDirection(veltrano::Direction direction) { m_direction = direction; }
    veltrano::Direction GetDirection() const { return m_direction; }
    // The other list of the window, where paired lines are found.
    void SetPartnerList(const FrameListView* partner) { m_partner = partner; }
    // The window's bound port (host byte order), for lines appended from now on; 0 is ignored.
    void SetLocalPort(std::uint16_t port);

    // `partner`: the serial of the line of the other list it pairs with.
    void AppendFrame(const LoggedFrame& frame, std::optional<LinePairing> pairing = std::nullopt);
    // Pairs an earlier line with the line of the other list that answers it.
    void Pair(std::uint64_t serial, std::uint64_t partner) { m_store.SetPartner(serial, partner); }
    void Clear();

    std::size_t count() const { return m_store.Count(); }
    QString text(std::size_t row) const { return m_store.Text(row); }
    QString ToolTip(std::size_t row) const;
    const FrameListStore& Store() const { return m_store; }

    // The selected rows, first <= last; empty when nothing is selected.
    bool HasSelection() const { return m_anchor >= 0; }
    bool IsSelected(std::size_t row) const;
    // The line the keyboard moves from; -1 before any.
    qint64 CurrentRow() const { return m_current; }
    std::size_t SelectionFirst() const;
    std::size_t SelectionLast() const;
    QString SelectedText() const;
    void CopySelection() const;
    void SelectAll();

    // Starts saving the lines the list holds now; a message box tells of a failure, and SaveFinished
    // follows it. False when nothing was started.
    bool Save(SaveFormat format, const QString& path);
    bool Saving() const { return m_saver.Running(); }

    int RowHeight() const { return m_rowHeight; }
    std::size_t FirstVisibleRow() const;
    int VisibleRowCount() const;
    // Row under a viewport position, or -1 below the last line.
    qint64 RowAt(int y) const;
    // A line's rectangle in the viewport; empty when it is not shown.
    QRect RowRect(std::size_t row) const;
    // The list's counts, one "label：number" per line, as the context menu shows them.
    QStringList CountLines() const;
    // Whether a refresh for appended lines is still pending.
    bool RefreshPending() const { return m_refreshTimer.isActive(); }

Q_SIGNALS:
    // An empty message when the file is complete.
    void SaveFinished(const QString& message);
    // The received list's menu asks for the panel view.
    void PanelViewRequested();

protected:
    bool viewportEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void OnRefreshTimer();
    void OnSaveFinished(const QString& message);
    void AskAndSave(SaveFormat format);
    void Tell(const QString& message);
    QMenu* CreateContextMenu();
    // Where a menu opened from the keyboard appears: below the current line, in the view's coordinates.
    QPoint KeyboardMenuPosition() const;
    QColor TextColour(std::size_t row) const;
    void UpdateScrollRange();
    void SelectRow(qint64 row, bool extend);
    void EnsureVisible(qint64 row);

    FrameListStore m_store;
    ListSaver m_saver{m_store};
    QTimer m_refreshTimer;
    bool m_refreshDue{false}; // the timer runs; asking it costs a call per append
    veltrano::Direction m_direction{veltrano::Direction::In};
    const FrameListView* m_partner{nullptr};
    std::vector<LocalPortSince> m_localPorts; // one entry per change of port
    std::size_t m_rowsInRange{0};             // rows the scroll range and last repaint account for
    int m_rowHeight{1};
    qint64 m_anchor{-1};
    qint64 m_current{-1};
    FrameListAnnouncer m_announcer{*this};
};
