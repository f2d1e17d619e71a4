#include "book/panel_book.h"
#include "protocol/frame_decoder.h"
#include "registry/device_registry.h"
#include "tests/ui/ui_harness.h"
#include "ui/event_log_model.h"
#include "ui/panel_table_model.h"
#include "ui/registry_model.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;
using namespace std::chrono_literals;

namespace {

using veltrano::PanelBook;

const veltrano::SteadyTime START = veltrano::SteadyTime{} + 1h;
constexpr std::int64_t WALL = 1'800'000'000'000'000;
// Panels on ports of their own; A sends from another port at times.
constexpr Endpoint PEER_A{0x7F000002, 5000};
constexpr Endpoint PEER_A_MOVED{0x7F000002, 5002};
constexpr Endpoint PEER_B{0x7F000003, 6001};

std::array<std::uint8_t, FAULT_FRAME_LENGTH> FaultFrame(std::uint8_t comm, std::uint8_t dev)
{
    std::array<std::uint8_t, FAULT_FRAME_LENGTH> frame{FAULT_FRAME_LENGTH, comm, dev, 0, 0, 0, CMD_FAULT};
    frame.back() = FrameChecksum(frame);
    return frame;
}

void Hear(PanelBook& book, Endpoint peer, std::span<const std::uint8_t> frame,
          std::chrono::milliseconds at = 0ms)
{
    book.Hear(peer, DecodeFrame(frame), START + at, WALL + at.count() * 1000);
}

// The rows each dataChanged named, as "first-last", with its columns where they are not all of them.
QStringList ChangedRanges(const QSignalSpy& spy)
{
    QStringList ranges;
    for (const QList<QVariant>& signal : spy) {
        const QModelIndex first = signal[0].toModelIndex(), last = signal[1].toModelIndex();
        ranges << u"%1-%2"_s.arg(first.row()).arg(last.row());
        if (first.column() != 0 || last.column() != last.model()->columnCount() - 1)
            ranges.back() += u" columns %1-%2"_s.arg(first.column()).arg(last.column());
    }
    return ranges;
}

struct TableFixture
{
    PanelBook book{{}, START};
    PanelTableModel model{book};
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST(PanelTableModel, InsertsNewPanelsAtTheEndAndSignalsOnlyTheRowsThatChanged)
{
    TableFixture f;
    f.model.Reload();
    QSignalSpy inserted(&f.model, &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(&f.model, &QAbstractItemModel::dataChanged);
    const StatusBytes quiet = DEFAULT_STATUS;
    const struct
    {
        std::vector<std::pair<Endpoint, std::uint8_t>> heard; // peer, device (communicator 0)
        int rows;
        int insertions; // rowsInserted signals so far
        QStringList changedRanges;
    } steps[] = {
        {{}, 0, 0, {}},
        {{{PEER_A, 1}, {PEER_A, 2}}, 2, 1, {}},
        {{{PEER_A, 2}}, 2, 1, {u"1-1"_s}},
        {{{PEER_A, 1}, {PEER_A, 2}, {PEER_B, 1}}, 3, 2, {u"0-1"_s}},
        {{{PEER_B, 1}, {PEER_A, 1}}, 3, 2, {u"0-0"_s, u"2-2"_s}},
        {{}, 3, 2, {}}, // nothing heard: nothing signalled
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.rows);
        changed.clear();
        for (const auto& [peer, dev] : step.heard)
            Hear(f.book, peer, StatusFrame(0, dev, quiet));
        f.model.Refresh();
        EXPECT_EQ(f.model.rowCount(), step.rows);
        EXPECT_EQ(inserted.size(), step.insertions);
        EXPECT_EQ(ChangedRanges(changed), step.changedRanges);
    }
    // The rows opened and closed as the view opens and closes; marks taken while closed are forgotten.
    f.model.Release();
    EXPECT_EQ(f.model.rowCount(), 0);
    Hear(f.book, PEER_A, StatusFrame(0, 1, quiet));
    f.model.Reload();
    EXPECT_EQ(f.model.rowCount(), 3);
    changed.clear();
    f.model.Refresh();
    EXPECT_TRUE(changed.isEmpty());
}

TEST(PanelTableModel, ShowsEachPanelInTheCataloguesWordsAndMarksAlarmAndMissing)
{
    TableFixture f;
    f.book.SetSilenceLimit(2s);
    f.model.Reload();
    Hear(f.book, PEER_A, StatusFrame(3, 7, {0x05, 0x13, 0x82, 0x00}), 0ms);
    Hear(f.book, PEER_A, FaultFrame(3, 7), 10ms);
    Hear(f.book, PEER_B, StatusFrame(0, 1, DEFAULT_STATUS), 1500ms);
    f.model.Refresh();
    ASSERT_EQ(f.model.rowCount(), 2);
    const QString heardA = f.model.index(0, PanelTableModel::LastHeardColumn).data().toString();
    EXPECT_EQ(RowTexts(f.model, 0),
              (QStringList{u"3"_s, u"7"_s, u"127.0.0.2:5000"_s, u"在线"_s, heardA, u"2"_s, u"1、3"_s,
                           u"2、8"_s, u"设备撤防、紧急求助、无ac"_s, u"故障"_s}));
    EXPECT_EQ(RowTexts(f.model, 1).mid(0, 4), (QStringList{u"0"_s, u"1"_s, u"127.0.0.3:6001"_s, u"在线"_s}));
    EXPECT_EQ(RowTexts(f.model, 1).mid(5), (QStringList{u"1"_s, u""_s, u""_s, u"设备撤防、无ac"_s, u""_s}));

    const auto background = [&f](int row) { return f.model.index(row, 0).data(Qt::BackgroundRole); };
    const auto foreground = [&f](int row) { return f.model.index(row, 2).data(Qt::ForegroundRole); };
    EXPECT_EQ(background(0).value<QColor>(), QColor::fromRgb(PanelTableModel::ALARM_BACKGROUND));
    EXPECT_FALSE(background(1).isValid());
    EXPECT_FALSE(foreground(0).isValid());

    // Silent past the limit: the first panel goes grey and says so; the second was heard later.
    QSignalSpy changed(&f.model, &QAbstractItemModel::dataChanged);
    f.book.Check(START + 2500ms, [](const PanelBook::Report&) {});
    f.model.Refresh();
    EXPECT_EQ(ChangedRanges(changed), QStringList{u"0-0"_s});
    EXPECT_EQ(f.model.index(0, PanelTableModel::StateColumn).data().toString(), u"失联"_s);
    EXPECT_EQ(foreground(0).value<QColor>(), QColor::fromRgb(PanelTableModel::MISSING_FOREGROUND));
    EXPECT_EQ(f.model.index(1, PanelTableModel::StateColumn).data().toString(), u"在线"_s);
    // Heard again, it is back.
    Hear(f.book, PEER_A, StatusFrame(3, 7, DEFAULT_STATUS), 2600ms);
    f.model.Refresh();
    EXPECT_EQ(f.model.index(0, PanelTableModel::StateColumn).data().toString(), u"在线"_s);
    EXPECT_FALSE(background(0).isValid());
    EXPECT_FALSE(foreground(0).isValid());
}

TEST(PanelSortProxy, SortsOnTheBooksValuesAndFiltersOnWhatARowShows)
{
    TableFixture f;
    PanelSortProxy proxy;
    proxy.setSourceModel(&f.model);
    QAbstractItemModelTester proxyTester(&proxy, QAbstractItemModelTester::FailureReportingMode::Fatal);
    f.model.Reload();
    // Rows in the order heard: 10:2 (3 frames, zone 2 in alarm), 9:1 (1 frame), 100:1 (2 frames, B).
    Hear(f.book, PEER_A, StatusFrame(10, 2, DEFAULT_STATUS));
    Hear(f.book, PEER_A, StatusFrame(9, 1, DEFAULT_STATUS));
    Hear(f.book, PEER_B, StatusFrame(100, 1, DEFAULT_STATUS));
    Hear(f.book, PEER_A, StatusFrame(10, 2, DEFAULT_STATUS));
    Hear(f.book, PEER_A, StatusFrame(10, 2, {0x02, 0x11, 0x00, 0x00}));
    Hear(f.book, PEER_B, StatusFrame(100, 1, DEFAULT_STATUS));
    f.model.Refresh();
    const struct
    {
        int column;
        Qt::SortOrder order;
        QString filter;
        QStringList comms; // the communicator column as shown
    } cases[] = {
        {-1, Qt::AscendingOrder, {}, {u"10"_s, u"9"_s, u"100"_s}},
        // Numbers as numbers, not as texts.
        {PanelTableModel::CommColumn, Qt::AscendingOrder, {}, {u"9"_s, u"10"_s, u"100"_s}},
        {PanelTableModel::CommColumn, Qt::DescendingOrder, {}, {u"100"_s, u"10"_s, u"9"_s}},
        {PanelTableModel::FramesColumn, Qt::AscendingOrder, {}, {u"9"_s, u"100"_s, u"10"_s}},
        {PanelTableModel::AlarmZonesColumn, Qt::DescendingOrder, {}, {u"10"_s, u"9"_s, u"100"_s}},
        {PanelTableModel::PeerColumn, Qt::AscendingOrder, {}, {u"10"_s, u"9"_s, u"100"_s}},
        {PanelTableModel::CommColumn, Qt::AscendingOrder, u"127.0.0.3"_s, {u"100"_s}},
        {PanelTableModel::CommColumn, Qt::AscendingOrder, u" 10 "_s, {u"10"_s, u"100"_s}},
        {PanelTableModel::CommColumn, Qt::AscendingOrder, u"9:1"_s, {u"9"_s}},
        {PanelTableModel::CommColumn, Qt::AscendingOrder, u"无AC"_s, {u"9"_s, u"10"_s, u"100"_s}},
        {PanelTableModel::CommColumn, Qt::AscendingOrder, u"nothing"_s, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.column * 10 + c.order);
        proxy.SetFilterText(c.filter);
        proxy.sort(c.column, c.order);
        EXPECT_EQ(ColumnTexts(proxy, PanelTableModel::CommColumn), c.comms) << c.filter.toStdString();
    }
    // A row that changes moves to its place in the order.
    proxy.SetFilterText({});
    proxy.sort(PanelTableModel::FramesColumn, Qt::AscendingOrder);
    for (int i = 0; i < 3; ++i)
        Hear(f.book, PEER_A, StatusFrame(9, 1, DEFAULT_STATUS));
    f.model.Refresh();
    EXPECT_EQ(ColumnTexts(proxy, PanelTableModel::CommColumn), (QStringList{u"100"_s, u"10"_s, u"9"_s}));
}

struct LogFixture
{
    PanelBook book{{}, START};
    EventLogModel model{book};
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST(EventLogModel, AppendsTheEventsOfEachFrameAndShowsOnePanelsOnRequest)
{
    LogFixture f;
    f.model.Reload();
    Hear(f.book, PEER_A, StatusFrame(3, 7, {0x04, 0x11, 0x00, 0x00}));
    Hear(f.book, PEER_B, StatusFrame(0, 1, {0x00, 0x11, 0x00, 0x80}));
    f.model.Refresh();
    ASSERT_EQ(f.model.rowCount(), 2);
    EXPECT_EQ(RowTexts(f.model, 0).mid(1), (QStringList{u"3:7 (127.0.0.2)"_s, u"防区报警"_s, u"3"_s}));
    EXPECT_EQ(RowTexts(f.model, 1).mid(1, 2), (QStringList{u"0:1 (127.0.0.3)"_s, u"未知状态位"_s}));
    EXPECT_TRUE(RowTexts(f.model, 1)[3].contains(u"0x80"_s)) << RowTexts(f.model, 1)[3].toStdString();

    // One panel's events, those already logged and those to come.
    f.model.SetPanelFilter(0);
    EXPECT_EQ(ColumnTexts(f.model, EventLogModel::PanelColumn), QStringList{u"3:7 (127.0.0.2)"_s});
    QSignalSpy inserted(&f.model, &QAbstractItemModel::rowsInserted);
    Hear(f.book, PEER_B, StatusFrame(0, 1, {0x01, 0x11, 0x00, 0x80}));
    Hear(f.book, PEER_A_MOVED, StatusFrame(3, 7, {0x00, 0x15, 0x00, 0x00}));
    f.model.Refresh();
    EXPECT_EQ(inserted.size(), 1);
    EXPECT_EQ(ColumnTexts(f.model, EventLogModel::EventColumn),
              (QStringList{u"防区报警"_s, u"防区报警恢复"_s, u"被撬"_s}));
    f.model.SetPanelFilter(std::nullopt);
    EXPECT_EQ(f.model.rowCount(), 5);

    // Each line names the port its event came from, not the one the panel sent from last.
    std::string lines;
    f.model.AppendLine(lines, f.model.Events().front());
    f.model.AppendLine(lines, f.model.Events().back());
    EXPECT_NE(lines.find(" event 127.0.0.2:5000 comm 3 dev 7 zone-alarm zone 3 (3 防区报警)\n"),
              std::string::npos)
        << lines;
    EXPECT_TRUE(lines.ends_with(" event 127.0.0.2:5002 comm 3 dev 7 tamper (11 被撬)\n")) << lines;
}

TEST(EventLogModel, KeepsAtMostItsCapacityDroppingTheOldestRows)
{
    LogFixture f;
    f.model.Reload();
    QSignalSpy removed(&f.model, &QAbstractItemModel::rowsRemoved);
    // Each frame sets or clears zone 1's alarm: one event a frame.
    const std::size_t frames = EventLogModel::CAPACITY + 10;
    for (std::size_t i = 0; i < frames; ++i) {
        Hear(f.book, PEER_A, StatusFrame(0, 1, {static_cast<std::uint8_t>((i + 1) % 2), 0x11, 0, 0}));
        if (i == EventLogModel::CAPACITY - 5)
            f.model.Refresh();
    }
    f.model.Refresh();
    EXPECT_EQ(static_cast<std::size_t>(f.model.rowCount()), EventLogModel::CAPACITY);
    EXPECT_EQ(removed.size(), 1);
    // The newest event is the last row, and the rows follow the book's own order.
    std::string last;
    f.model.AppendLine(last, f.model.Events().back());
    EXPECT_TRUE(last.ends_with(" zone-alarm-restore zone 1 (4 防区报警恢复)\n")) << last;
    EXPECT_EQ(f.model.index(0, EventLogModel::EventColumn).data().toString(), u"防区报警"_s);
}

TEST(RegistryModel, FollowsTheRegistryInsertingInOrderAndSignallingChangedStatus)
{
    CDeviceRegistry registry;
    RegistryModel model(registry);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    const struct
    {
        int comm, dev;
        StatusBytes status; // what the entry holds after the step
        QStringList pairs;  // "comm:dev" in row order
        QStringList changedRanges;
    } steps[] = {
        {3, 7, DEFAULT_STATUS, {u"3:7"_s}, {}},
        {3, 5, DEFAULT_STATUS, {u"3:5"_s, u"3:7"_s}, {}},
        {0, 1, DEFAULT_STATUS, {u"0:1"_s, u"3:5"_s, u"3:7"_s}, {}},
        {3, 7, {0x01, 0x11, 0x00, 0x00}, {u"0:1"_s, u"3:5"_s, u"3:7"_s}, {u"2-2"_s}},
        {9, 0, DEFAULT_STATUS, {u"0:1"_s, u"3:5"_s, u"3:7"_s, u"9:0"_s}, {}},
        {3, 7, {0x01, 0x11, 0x00, 0x00}, {u"0:1"_s, u"3:5"_s, u"3:7"_s, u"9:0"_s}, {}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.pairs.join(u' ').toStdString());
        changed.clear();
        const auto comm = static_cast<std::uint8_t>(step.comm);
        const auto dev = static_cast<std::uint8_t>(step.dev);
        CDeviceEntry* entry = registry.FindDevice(comm, dev);
        if (entry == nullptr)
            entry = registry.CreateDevice(comm, dev);
        entry->m_status = step.status;
        model.Refresh();
        QStringList pairs;
        for (int row = 0; row < model.rowCount(); ++row)
            pairs << RowTexts(model, row)[0] + u':' + RowTexts(model, row)[1];
        EXPECT_EQ(pairs, step.pairs);
        EXPECT_EQ(ChangedRanges(changed), step.changedRanges);
    }
    EXPECT_EQ(RowTexts(model, 2).mid(2), (QStringList{u"1"_s, u""_s, u"设备撤防、无ac"_s, u"01 11 00 00"_s}));
    model.Release();
    EXPECT_EQ(model.rowCount(), 0);
}

} // namespace
