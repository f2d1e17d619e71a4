#include "ui/frame_list_accessible.h"

#include "ui/frame_list_view.h"

#include <QAccessibleEvent>
#include <QPointer>
#include <QScrollBar>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <limits>
#include <vector>

using namespace veltrano;

namespace {

std::atomic<std::size_t> itemsAlive{0};
InProcessAccessibilityClient attachedClient = nullptr;

// One line of a list; the line is held by its serial, so a cleared line reads as gone, never as another.
class FrameLineAccessible final : public QAccessibleInterface
{
public:
    FrameLineAccessible(FrameListView* view, std::uint64_t serial) : m_view(view), m_serial(serial)
    {
        ++itemsAlive;
    }
    ~FrameLineAccessible() override { --itemsAlive; }
    FrameLineAccessible(const FrameLineAccessible&) = delete;
    FrameLineAccessible& operator=(const FrameLineAccessible&) = delete;

    const FrameListView* View() const { return m_view; }
    std::optional<std::size_t> Row() const
    {
        return m_view != nullptr ? m_view->Store().RowOf(m_serial) : std::nullopt;
    }

    bool isValid() const override { return Row().has_value(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override
    {
        return m_view != nullptr ? m_view->window()->windowHandle() : nullptr;
    }
    QAccessibleInterface* focusChild() const override { return nullptr; }
    QAccessibleInterface* childAt(int /*x*/, int /*y*/) const override { return nullptr; }
    QAccessibleInterface* parent() const override
    {
        return m_view != nullptr ? QAccessible::queryAccessibleInterface(m_view.data()) : nullptr;
    }
    QAccessibleInterface* child(int /*index*/) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface* /*child*/) const override { return -1; }

    // The line as drawn, and as its tooltip explains it.
    QString text(QAccessible::Text t) const override
    {
        const std::optional<std::size_t> row = Row();
        if (!row)
            return {};
        switch (t) {
        case QAccessible::Name:
            return m_view->text(*row);
        case QAccessible::Description:
            return m_view->ToolTip(*row);
        default:
            return {};
        }
    }
    void setText(QAccessible::Text /*t*/, const QString& /*text*/) override {}

    QRect rect() const override
    {
        const std::optional<std::size_t> row = Row();
        if (!row)
            return {};
        const QRect line = m_view->RowRect(*row);
        if (line.isEmpty())
            return {};
        return {m_view->viewport()->mapToGlobal(line.topLeft()), line.size()};
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State state;
        const std::optional<std::size_t> row = Row();
        if (!row) {
            state.invalid = true;
            return state;
        }
        state.selectable = true;
        state.focusable = true;
        state.selected = m_view->IsSelected(*row);
        const bool current = m_view->CurrentRow() == static_cast<qint64>(*row);
        state.active = current;
        state.focused = current && m_view->hasFocus();
        if (m_view->RowRect(*row).isEmpty()) {
            state.invisible = true;
            state.offscreen = true;
        }
        return state;
    }

private:
    QPointer<FrameListView> m_view;
    std::uint64_t m_serial{0};
};

QAccessibleInterface* CreateFrameListInterface(const QString& /*key*/, QObject* object)
{
    if (auto* view = qobject_cast<FrameListView*>(object))
        return new FrameListAccessible(view);
    return nullptr;
}

} // namespace

void InstallFrameListAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(&CreateFrameListInterface);
        return true;
    }();
    Q_UNUSED(installed);
}

std::size_t FrameListItemsAlive()
{
    return itemsAlive.load();
}

void AttachAccessibilityClient(InProcessAccessibilityClient client)
{
    attachedClient = client;
}

bool AccessibilityListening()
{
    return attachedClient != nullptr || QAccessible::isActive();
}

void NotifyAccessibility(QAccessibleEvent* event)
{
    if (attachedClient != nullptr)
        attachedClient(event);
    else
        QAccessible::updateAccessibility(event);
}

FrameListAccessible::FrameListAccessible(FrameListView* view) : QAccessibleWidget(view, QAccessible::List) {}

FrameListAccessible::~FrameListAccessible()
{
    for (const auto& [serial, id] : m_items)
        QAccessible::deleteAccessibleInterface(id);
}

FrameListView* FrameListAccessible::View() const
{
    return static_cast<FrameListView*>(widget());
}

QString FrameListAccessible::text(QAccessible::Text t) const
{
    // The counts the context menu shows, for a reader that cannot see how far the list has grown.
    if (t == QAccessible::Description && widget()->accessibleDescription().isEmpty())
        return View()->CountLines().join(u'\n');
    return QAccessibleWidget::text(t);
}

int FrameListAccessible::childCount() const
{
    return static_cast<int>(std::min<std::size_t>(View()->count(), std::numeric_limits<int>::max()));
}

QAccessibleInterface* FrameListAccessible::child(int index) const
{
    if (index < 0 || index >= childCount())
        return nullptr;
    const std::uint64_t serial = View()->Store().FirstSerial() + static_cast<std::uint64_t>(index);
    if (const auto found = m_items.find(serial); found != m_items.end()) {
        if (QAccessibleInterface* item = QAccessible::accessibleInterface(found->second))
            return item;
        m_items.erase(found);
    }
    auto* item = new FrameLineAccessible(View(), serial);
    m_items.emplace(serial, QAccessible::registerAccessibleInterface(item));
    Trim(serial);
    return item;
}

int FrameListAccessible::indexOfChild(const QAccessibleInterface* child) const
{
    const auto* line = dynamic_cast<const FrameLineAccessible*>(child);
    if (line == nullptr || line->View() != View())
        return -1;
    const std::optional<std::size_t> row = line->Row();
    return row && *row < static_cast<std::size_t>(std::numeric_limits<int>::max()) ? static_cast<int>(*row)
                                                                                   : -1;
}

QAccessibleInterface* FrameListAccessible::childAt(int x, int y) const
{
    const QPoint point = View()->viewport()->mapFromGlobal(QPoint(x, y));
    if (!View()->viewport()->rect().contains(point))
        return nullptr;
    const qint64 row = View()->RowAt(point.y());
    return row >= 0 && row < childCount() ? child(static_cast<int>(row)) : nullptr;
}

QAccessibleInterface* FrameListAccessible::focusChild() const
{
    const qint64 current = View()->CurrentRow();
    if (!View()->hasFocus() || current < 0 || current >= childCount())
        return nullptr;
    return child(static_cast<int>(current));
}

void FrameListAccessible::Trim(std::uint64_t keep) const
{
    if (m_items.size() <= MAX_CACHED_ITEMS)
        return;
    // Kept: the line just asked for, the visible lines and the current one; cleared lines go too.
    const FrameListView* view = View();
    const std::uint64_t first = view->Store().FirstSerial();
    const std::uint64_t visibleFirst = first + view->FirstVisibleRow();
    const std::uint64_t visibleEnd = visibleFirst + static_cast<std::uint64_t>(view->VisibleRowCount());
    const qint64 current = view->CurrentRow();
    std::vector<std::uint64_t> gone;
    for (const auto& [serial, id] : m_items) {
        const bool visible = serial >= visibleFirst && serial < visibleEnd;
        const bool isCurrent = current >= 0 && serial == first + static_cast<std::uint64_t>(current);
        if (serial != keep && !visible && !isCurrent)
            gone.push_back(serial);
    }
    for (const std::uint64_t serial : gone) {
        QAccessible::deleteAccessibleInterface(m_items.at(serial));
        m_items.erase(serial);
    }
}

FrameListAnnouncer::FrameListAnnouncer(FrameListView& view) : m_view(view)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(PERIOD_MS);
    connect(&m_timer, &QTimer::timeout, this, &FrameListAnnouncer::Announce);
}

FrameListAnnouncer::~FrameListAnnouncer() = default;

void FrameListAnnouncer::LinesAdded()
{
    // Never restarted: a steady flood is still announced once per period.
    if (!m_timer.isActive())
        m_timer.start();
}

void FrameListAnnouncer::Cleared()
{
    m_timer.stop();
    m_announced = m_view.Store().NextSerial();
    QAccessibleEvent reset(&m_view, QAccessible::ObjectReorder);
    NotifyAccessibility(&reset);
}

void FrameListAnnouncer::CurrentChanged(std::size_t row)
{
    if (row > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return;
    QAccessibleEvent selection(&m_view, QAccessible::Selection);
    selection.setChild(static_cast<int>(row));
    NotifyAccessibility(&selection);
    if (m_view.hasFocus()) {
        QAccessibleEvent focus(&m_view, QAccessible::Focus);
        focus.setChild(static_cast<int>(row));
        NotifyAccessibility(&focus);
    }
}

void FrameListAnnouncer::Announce()
{
    const FrameListStore& store = m_view.Store();
    if (store.Count() == 0 || store.NextSerial() <= m_announced || !AccessibilityListening())
        return;
    m_announced = store.NextSerial();
    const std::size_t newest = store.Count() - 1;
    if (newest > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return;
    QAccessibleEvent added(&m_view, QAccessible::ObjectCreated);
    added.setChild(static_cast<int>(newest));
    NotifyAccessibility(&added);
}
