#include "ui/frame_list_view.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFocusRect>

#include <algorithm>
#include <limits>

namespace {

// Coalesces bursts of appends: at most one range update per period, however fast lines arrive.
constexpr int kRefreshPeriodMs = 25;
constexpr int kTextMargin = 2;

int ClampToInt(std::size_t value)
{
    return static_cast<int>(std::min<std::size_t>(value, std::numeric_limits<int>::max()));
}

} // namespace

FrameListView::FrameListView(QWidget* parent) : QAbstractScrollArea(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setAutoFillBackground(false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    m_rowHeight = std::max(1, fontMetrics().height());
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(kRefreshPeriodMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &FrameListView::OnRefreshTimer);
}

FrameListView::~FrameListView() = default;

void FrameListView::AppendFrame(const LoggedFrame& frame)
{
    m_store.Append(frame);
    // Never restarted by an append: a list fed faster than the period must still refresh every period.
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

void FrameListView::Clear()
{
    m_refreshTimer.stop();
    m_store.Clear();
    m_anchor = -1;
    m_current = -1;
    UpdateScrollRange();
    viewport()->update();
}

std::size_t FrameListView::SelectionFirst() const
{
    return HasSelection() ? static_cast<std::size_t>(std::min(m_anchor, m_current)) : 0;
}

std::size_t FrameListView::SelectionLast() const
{
    return HasSelection() ? static_cast<std::size_t>(std::max(m_anchor, m_current)) : 0;
}

QString FrameListView::SelectedText() const
{
    if (!HasSelection())
        return {};
    QString text;
    for (std::size_t row = SelectionFirst(); row <= SelectionLast(); ++row) {
        if (row != SelectionFirst())
            text += QLatin1Char('\n');
        text += m_store.Text(row);
    }
    return text;
}

void FrameListView::CopySelection() const
{
    if (HasSelection())
        QGuiApplication::clipboard()->setText(SelectedText());
}

std::size_t FrameListView::FirstVisibleRow() const
{
    return static_cast<std::size_t>(std::max(0, verticalScrollBar()->value()));
}

void FrameListView::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    const QPalette& colors = palette();
    painter.fillRect(event->rect(), colors.base());

    const std::size_t first = FirstVisibleRow();
    const int width = viewport()->width();
    const int bottom = event->rect().bottom();
    for (int y = 0; y <= bottom; y += m_rowHeight) {
        const std::size_t row = first + static_cast<std::size_t>(y / m_rowHeight);
        if (row >= m_store.Count())
            break;
        const QRect rowRect(0, y, width, m_rowHeight);
        const bool selected = HasSelection() && row >= SelectionFirst() && row <= SelectionLast();
        if (selected)
            painter.fillRect(rowRect, colors.highlight());
        painter.setPen(selected ? colors.color(QPalette::HighlightedText) : colors.color(QPalette::Text));
        painter.drawText(rowRect.adjusted(kTextMargin, 0, 0, 0),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_store.Text(row));
        if (hasFocus() && static_cast<qint64>(row) == m_current) {
            QStyleOptionFocusRect option;
            option.initFrom(this);
            option.rect = rowRect;
            option.backgroundColor =
                selected ? colors.color(QPalette::Highlight) : colors.color(QPalette::Base);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
        }
    }
}

void FrameListView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollRange();
}

void FrameListView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const qint64 row = RowAt(event->position().toPoint().y());
    if (row >= 0)
        SelectRow(row, event->modifiers().testFlag(Qt::ShiftModifier));
}

void FrameListView::mouseMoveEvent(QMouseEvent* event)
{
    if (!event->buttons().testFlag(Qt::LeftButton) || !HasSelection() || m_store.Count() == 0)
        return;
    const int y = std::clamp(event->position().toPoint().y(), 0, std::max(0, viewport()->height() - 1));
    const qint64 row = RowAt(y);
    SelectRow(row >= 0 ? row : static_cast<qint64>(m_store.Count()) - 1, true);
}

void FrameListView::mouseReleaseEvent(QMouseEvent* event)
{
    event->setAccepted(event->button() == Qt::LeftButton);
}

void FrameListView::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        CopySelection();
        return;
    }
    const auto count = static_cast<qint64>(m_store.Count());
    if (event->matches(QKeySequence::SelectAll)) {
        if (count > 0) {
            m_anchor = 0;
            m_current = count - 1;
            viewport()->update();
        }
        return;
    }
    const qint64 page = VisibleRowCount();
    const qint64 from = m_current >= 0 ? m_current : static_cast<qint64>(FirstVisibleRow()) - 1;
    qint64 to = -1;
    switch (event->key()) {
    case Qt::Key_Up:
        to = from - 1;
        break;
    case Qt::Key_Down:
        to = from + 1;
        break;
    case Qt::Key_PageUp:
        to = from - page;
        break;
    case Qt::Key_PageDown:
        to = from + page;
        break;
    case Qt::Key_Home:
        to = 0;
        break;
    case Qt::Key_End:
        to = count - 1;
        break;
    default:
        // Enter and Escape belong to the dialog.
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    if (count > 0)
        SelectRow(std::clamp<qint64>(to, 0, count - 1), event->modifiers().testFlag(Qt::ShiftModifier));
}

void FrameListView::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_rowHeight = std::max(1, fontMetrics().height());
        UpdateScrollRange();
        viewport()->update();
    }
}

void FrameListView::scrollContentsBy(int /*dx*/, int /*dy*/)
{
    viewport()->update();
}

void FrameListView::OnRefreshTimer()
{
    const std::size_t accounted = m_rowsInRange;
    UpdateScrollRange();
    // Lines appended below the visible rows need only the new scroll range.
    if (accounted <= FirstVisibleRow() + static_cast<std::size_t>(VisibleRowCount()))
        viewport()->update();
}

void FrameListView::UpdateScrollRange()
{
    const int page = VisibleRowCount();
    m_rowsInRange = m_store.Count();
    QScrollBar* bar = verticalScrollBar();
    bar->setPageStep(page);
    bar->setSingleStep(1);
    bar->setRange(0, std::max(0, ClampToInt(m_rowsInRange) - page));
}

int FrameListView::VisibleRowCount() const
{
    return std::max(1, viewport()->height() / m_rowHeight);
}

qint64 FrameListView::RowAt(int y) const
{
    if (y < 0)
        return -1;
    const std::size_t row = FirstVisibleRow() + static_cast<std::size_t>(y / m_rowHeight);
    return row < m_store.Count() ? static_cast<qint64>(row) : -1;
}

void FrameListView::SelectRow(qint64 row, bool extend)
{
    if (!extend || m_anchor < 0)
        m_anchor = row;
    m_current = row;
    EnsureVisible(row);
    viewport()->update();
}

void FrameListView::EnsureVisible(qint64 row)
{
    QScrollBar* bar = verticalScrollBar();
    if (static_cast<std::size_t>(row) >= m_rowsInRange)
        UpdateScrollRange();
    const qint64 first = bar->value();
    const qint64 page = VisibleRowCount();
    if (row < first)
        bar->setValue(static_cast<int>(row));
    else if (row >= first + page)
        bar->setValue(static_cast<int>(row - page + 1));
}
