#pragma once

#include <QAccessibleWidget>
#include <QObject>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

class FrameListView;

// Gives every FrameListView, once Qt asks for it, the list interface below. Idempotent.
void InstallFrameListAccessibility();
// Line interfaces alive now, every list together: no list builds more than assistive technology asks for.
std::size_t FrameListItemsAlive();

// Where the lists' events go: Qt's bridge to the desktop's assistive technology, unless a client in the
// process is attached (a test or a bench, which the offscreen platform gives no bridge to listen through).
using InProcessAccessibilityClient = void (*)(QAccessibleEvent* event);
void AttachAccessibilityClient(InProcessAccessibilityClient client); // nullptr detaches
// Whether anyone listens: the bridge is active or a client is attached. Two loads, cheap enough for any path.
bool AccessibilityListening();
void NotifyAccessibility(QAccessibleEvent* event);

// A log list as assistive technology sees it: a list named by its label, described by its counts, with
// one item per line. Items exist only for the lines asked for; beyond a few hundred, those neither visible
// nor current are let go (a reader that asks again gets a fresh one), so a million-line list never holds
// more than that.
class FrameListAccessible final : public QAccessibleWidget
{
public:
    static constexpr std::size_t MAX_CACHED_ITEMS = 256;

    explicit FrameListAccessible(FrameListView* view);
    ~FrameListAccessible() override;
    FrameListAccessible(const FrameListAccessible&) = delete;
    FrameListAccessible& operator=(const FrameListAccessible&) = delete;

    QString text(QAccessible::Text t) const override;
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;
    QAccessibleInterface* focusChild() const override;

private:
    FrameListView* View() const;
    void Trim(std::uint64_t keep) const;

    // Line serial -> the id Qt keeps the item under; serials, since rows move when the list is cleared.
    mutable std::unordered_map<std::uint64_t, QAccessible::Id> m_items;
};

// Tells assistive technology of the list's new lines, at most once per period however fast they come:
// one event for the newest line. Only ever started while assistive technology is active, from the view's
// own coalesced refresh, so an inactive centre pays nothing per line.
class FrameListAnnouncer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FrameListAnnouncer)

public:
    static constexpr int PERIOD_MS = 400;

    explicit FrameListAnnouncer(FrameListView& view);
    ~FrameListAnnouncer() override;

    void LinesAdded();
    void Cleared();
    // The view's current line moved (keyboard or pointer): a reader follows its focus.
    void CurrentChanged(std::size_t row);

private:
    void Announce();

    FrameListView& m_view;
    QTimer m_timer;
    std::uint64_t m_announced{0}; // serial after the newest line announced
};
