#include "ui/frame_list_view.h"

#include "ui/frame_tooltip.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QToolTip>

#include <algorithm>
#include <limits>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

// Coalesces bursts of appends: at most one range update per period, however fast lines arrive.
constexpr int REFRESH_PERIOD_MS = 25;
constexpr int TEXT_MARGIN = 2;

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
    m_refreshTimer.setInterval(REFRESH_PERIOD_MS);
    connect(&m_refreshTimer, &QTimer::timeout, this, &FrameListView::OnRefreshTimer);
    connect(&m_saver, &ListSaver::Finished, this, &FrameListView::OnSaveFinished);
    InstallFrameListAccessibility();
}

FrameListView::~FrameListView() = default;

void FrameListView::SetLocalPort(std::uint16_t port)
{
    if (port == 0 || (!m_localPorts.empty() && m_localPorts.back().port == port))
        return;
    // A change before any line of the list replaces the one before it.
    if (!m_localPorts.empty() && m_localPorts.back().serial == m_store.NextSerial())
        m_localPorts.pop_back();
    m_localPorts.push_back({m_store.NextSerial(), port});
}

void FrameListView::AppendFrame(const LoggedFrame& frame, std::optional<LinePairing> pairing)
{
    m_store.Append(frame, pairing);
    // Never restarted by an append: a list fed faster than the period must still refresh every period.
    if (!m_refreshDue) {
        m_refreshDue = true;
        m_refreshTimer.start();
    }
}

void FrameListView::Clear()
{
    m_refreshTimer.stop();
    m_refreshDue = false;
    m_store.Clear();
    // The port in force goes on; the changes before it only served the cleared lines.
    if (m_localPorts.size() > 1)
        m_localPorts.erase(m_localPorts.begin(), m_localPorts.end() - 1);
    m_anchor = -1;
    m_current = -1;
    UpdateScrollRange();
    viewport()->update();
    if (AccessibilityListening())
        m_announcer.Cleared();
}

QString FrameListView::ToolTip(std::size_t row) const
{
    static const FrameListStore NO_PARTNERS;
    return FrameToolTip(m_store, m_direction, row, m_partner != nullptr ? m_partner->Store() : NO_PARTNERS);
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

void FrameListView::SelectAll()
{
    const auto count = static_cast<qint64>(m_store.Count());
    if (count > 0) {
        m_anchor = 0;
        m_current = count - 1;
        viewport()->update();
    }
}

bool FrameListView::Save(SaveFormat format, const QString& path)
{
    if (const std::optional<QString> refused = m_saver.Start(format, path, m_direction, m_localPorts)) {
        OnSaveFinished(*refused);
        return false;
    }
    return true;
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
        const bool selected = IsSelected(row);
        if (selected)
            painter.fillRect(rowRect, colors.highlight());
        painter.setPen(selected ? colors.color(QPalette::HighlightedText) : TextColour(row));
        painter.drawText(rowRect.adjusted(TEXT_MARGIN, 0, 0, 0),
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
        SelectAll();
        return;
    }
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        // The context menu's other key, as desktops bind it.
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, KeyboardMenuPosition(),
                               mapToGlobal(KeyboardMenuPosition()));
        contextMenuEvent(&menu);
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

bool FrameListView::viewportEvent(QEvent* event)
{
    if (event->type() != QEvent::ToolTip)
        return QAbstractScrollArea::viewportEvent(event);
    const auto* help = static_cast<QHelpEvent*>(event);
    const qint64 row = RowAt(help->pos().y());
    if (row < 0) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    // Shown while the pointer stays on the line.
    const int top = static_cast<int>(row - static_cast<qint64>(FirstVisibleRow())) * m_rowHeight;
    const QRect line(0, top, viewport()->width(), m_rowHeight);
    QToolTip::showText(help->globalPos(), ToolTip(static_cast<std::size_t>(row)), viewport(), line);
    return true;
}

void FrameListView::contextMenuEvent(QContextMenuEvent* event)
{
    // As in other lists: a right click outside the selection selects the line under it.
    if (event->reason() == QContextMenuEvent::Mouse) {
        const qint64 row = RowAt(viewport()->mapFromGlobal(event->globalPos()).y());
        if (row >= 0 && !IsSelected(static_cast<std::size_t>(row)))
            SelectRow(row, false);
    }
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // From the keyboard the menu opens at the current line, where the reader's attention is.
    const QPoint at = event->reason() == QContextMenuEvent::Mouse ? event->globalPos()
                                                                  : mapToGlobal(KeyboardMenuPosition());
    menu->popup(at);
    event->accept();
}

QPoint FrameListView::KeyboardMenuPosition() const
{
    const QRect line = m_current >= 0 ? RowRect(static_cast<std::size_t>(m_current)) : QRect();
    const QPoint inViewport = line.isEmpty() ? QPoint(TEXT_MARGIN, 0) : line.bottomLeft();
    return viewport()->mapTo(this, inViewport);
}

void FrameListView::focusInEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusInEvent(event);
    // A reader entering the list hears the line it left, not only the list's name.
    if (m_current >= 0 && AccessibilityListening())
        m_announcer.CurrentChanged(static_cast<std::size_t>(m_current));
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
    m_refreshDue = false;
    // Here, not per append: the announcement costs nothing while no assistive technology listens.
    if (AccessibilityListening())
        m_announcer.LinesAdded();
    const std::size_t accounted = m_rowsInRange;
    UpdateScrollRange();
    // Lines appended below the visible rows need only the new scroll range.
    if (accounted <= FirstVisibleRow() + static_cast<std::size_t>(VisibleRowCount()))
        viewport()->update();
}

void FrameListView::OnSaveFinished(const QString& message)
{
    if (!message.isEmpty())
        Tell(message);
    Q_EMIT SaveFinished(message);
}

void FrameListView::AskAndSave(SaveFormat format)
{
    const bool text = format == SaveFormat::Text;
    const QString name =
        (m_direction == Direction::Out ? u"sent"_s : u"received"_s) + (text ? u".txt"_s : u".pcap"_s);
    const QString path = QFileDialog::getSaveFileName(this, text ? tr("保存为文本") : tr("保存为 pcap"), name,
                                                      text ? tr("文本文件 (*.txt);;所有文件 (*)")
                                                           : tr("pcap 文件 (*.pcap);;所有文件 (*)"));
    if (!path.isEmpty())
        Save(format, path);
}

void FrameListView::Tell(const QString& message)
{
    QMessageBox box(QMessageBox::Warning, u"Veltrano"_s, message, QMessageBox::Ok, this);
    box.exec();
}

QMenu* FrameListView::CreateContextMenu()
{
    auto* menu = new QMenu(this);
    menu->setObjectName(u"listMenu"_s);
    const auto add = [menu](const QString& text, bool enabled) {
        QAction* action = menu->addAction(text);
        action->setEnabled(enabled);
        return action;
    };
    QAction* copy = add(tr("复制(&C)"), HasSelection());
    copy->setShortcut(QKeySequence::Copy);
    connect(copy, &QAction::triggered, this, &FrameListView::CopySelection);
    QAction* all = add(tr("全选(&A)"), m_store.Count() > 0);
    all->setShortcut(QKeySequence::SelectAll);
    connect(all, &QAction::triggered, this, &FrameListView::SelectAll);
    for (QAction* action : {copy, all})
        action->setShortcutVisibleInContextMenu(true);
    menu->addSeparator();
    const bool canSave = m_store.Count() > 0 && !m_saver.Running();
    connect(add(tr("保存为文本(&T)..."), canSave), &QAction::triggered, this,
            [this] { AskAndSave(SaveFormat::Text); });
    connect(add(tr("保存为 pcap(&P)..."), canSave), &QAction::triggered, this,
            [this] { AskAndSave(SaveFormat::Pcap); });
    if (m_direction == Direction::In) {
        menu->addSeparator();
        connect(menu->addAction(tr("面板状态(&B)...")), &QAction::triggered, this, &FrameListView::PanelViewRequested);
    }

    // The counts, for reading only.
    menu->addSeparator();
    for (const QString& line : CountLines())
        add(line, false);
    return menu;
}

QStringList FrameListView::CountLines() const
{
    const FrameCounts& counts = m_store.Counts();
    const bool sent = m_direction == Direction::Out;
    QStringList lines{tr("帧：%1").arg(counts.frames), tr("确认：%1").arg(counts.acknowledgements),
                      (sent ? tr("未收到确认：%1") : tr("未回确认：%1")).arg(counts.unanswered)};
    if (sent)
        lines << tr("发送失败：%1").arg(counts.failedSends);
    lines << tr("有问题的帧：%1").arg(counts.withFindings);
    return lines;
}

QRect FrameListView::RowRect(std::size_t row) const
{
    const std::size_t first = FirstVisibleRow();
    if (row < first || row >= m_store.Count() || row - first >= static_cast<std::size_t>(VisibleRowCount()))
        return {};
    const int top = static_cast<int>(row - first) * m_rowHeight;
    return {0, top, viewport()->width(), m_rowHeight};
}

QColor FrameListView::TextColour(std::size_t row) const
{
    const LoggedFrame frame = m_store.At(row);
    if (m_direction == Direction::Out && frame.sendError != 0)
        return QColor::fromRgb(FAILED_SEND_COLOUR);
    if (m_direction == Direction::In && m_store.HasFindings(row))
        return QColor::fromRgb(FINDINGS_COLOUR);
    return palette().color(QPalette::Text);
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

bool FrameListView::IsSelected(std::size_t row) const
{
    return HasSelection() && row >= SelectionFirst() && row <= SelectionLast();
}

void FrameListView::SelectRow(qint64 row, bool extend)
{
    if (!extend || m_anchor < 0)
        m_anchor = row;
    m_current = row;
    EnsureVisible(row);
    viewport()->update();
    if (AccessibilityListening())
        m_announcer.CurrentChanged(static_cast<std::size_t>(row));
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
