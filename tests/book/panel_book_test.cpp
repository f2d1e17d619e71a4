#include "book/panel_book.h"

#include "protocol/frame_decoder.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::BookPanel;
using veltrano::PanelBook;
using veltrano::PanelFrameKind;

const veltrano::SteadyTime START = veltrano::SteadyTime{} + 1h;
constexpr std::int64_t WALL = 1'800'000'000'000'000;

DecodedFrame Frame(std::vector<std::uint8_t> bytes)
{
    return DecodeFrame(bytes);
}

// The event builder's frame of a catalogue row by its key, from `status`.
DecodedFrame Built(std::string_view key, StatusBytes& status, std::uint8_t comm, std::uint8_t dev,
                   int zone = 0)
{
    for (int row = 0; row < EVENT_TYPE_COUNT; ++row)
        if (FindEventRow(row)->key == key) {
            const auto built = std::get<BuiltEvent>(BuildEvent(row, status, comm, dev, zone));
            status = built.status;
            return DecodeFrame(built.Frame());
        }
    ADD_FAILURE() << key;
    return {};
}

const DecodedFrame STATUS_0_1 = Frame(known::STATUS);
const DecodedFrame ONLINE_0_2 = Frame({0x08, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x0B});
const DecodedFrame ACK_0_1 = Frame(known::STATUS_ACK);

std::vector<PanelBook::Report> Check(PanelBook& book, std::chrono::microseconds at)
{
    std::vector<PanelBook::Report> reports;
    book.Check(START + at, [&](const PanelBook::Report& report) { reports.push_back(report); });
    return reports;
}

std::vector<std::uint32_t> Changed(PanelBook& book)
{
    std::vector<std::uint32_t> changed;
    book.TakeChanged([&](std::uint32_t index) { changed.push_back(index); });
    return changed;
}

std::string LogText(const PanelBook& book, std::uint64_t since)
{
    std::string out;
    book.Events().ForEachSince(since, [&](std::uint64_t seq, const veltrano::LoggedEvent& logged) {
        const BookPanel& panel = book.Panel(logged.panel);
        out += std::to_string(seq) + " " + std::to_string(panel.comm) + ":" + std::to_string(panel.dev) + " ";
        veltrano::AppendEventText(out, logged.event);
        out += "; ";
    });
    return out;
}

TEST(PanelBook, ReportsEachSilentPanelMissingOnceAndBackWhenHeard)
{
    PanelBook book({2s, 8}, START);
    const Endpoint a{0x7F000002, 5000};
    const Endpoint b{0x7F000003, 5000};
    book.Hear(a, STATUS_0_1, START, WALL);
    book.Hear(a, ONLINE_0_2, START + 1s, WALL);
    book.Hear(b, STATUS_0_1, START + 1s, WALL);
    EXPECT_EQ(book.Hear(a, ACK_0_1, START + 1s, WALL).panel, PanelBook::NO_PANEL)
        << "an acknowledgement is no panel's frame";
    EXPECT_EQ(book.size(), 3u);

    EXPECT_TRUE(Check(book, 2s).empty());
    const auto first = Check(book, 2500ms);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].change, PanelBook::Change::Missing);
    EXPECT_EQ(book.Panel(first[0].panel).Peer(), a);
    EXPECT_EQ(book.Panel(first[0].panel).dev, 1);
    EXPECT_EQ(first[0].silentUs, 2'500'000);
    EXPECT_EQ(Check(book, 3500ms).size(), 2u);
    EXPECT_TRUE(Check(book, 9s).empty()) << "reported once";
    EXPECT_EQ(book.MissingNow(), 3u);

    const auto heard = book.Hear(a, STATUS_0_1, START + 10s, WALL + 10'000'000);
    ASSERT_TRUE(heard.back);
    EXPECT_EQ(heard.back->change, PanelBook::Change::Back);
    EXPECT_EQ(heard.back->silentUs, 10'000'000);
    const BookPanel& panel = book.Panel(heard.panel);
    EXPECT_EQ(panel.gaps, 1u);
    EXPECT_EQ(panel.frames, 2u);
    EXPECT_EQ(panel.lastHeardWallUs, WALL + 10'000'000);
    EXPECT_EQ(panel.status, (StatusBytes{0x01, 0x11, 0x00, 0x00}));
    EXPECT_EQ(book.MissingNow(), 2u);

    const auto longest = book.LongestSilences(2, START + 20s);
    ASSERT_EQ(longest.size(), 2u);
    EXPECT_EQ(book.SilenceUs(book.Panel(longest[0]), START + 20s), 19'000'000) << "still missing";
    EXPECT_EQ(book.SilenceUs(book.Panel(longest[1]), START + 20s), 19'000'000);
}

TEST(PanelBook, SilenceLimitOffReportsNothingAndClearsMissing)
{
    PanelBook book({1s, 8}, START);
    book.Hear({LOOPBACK_ADDRESS, 5000}, STATUS_0_1, START, WALL);
    EXPECT_EQ(Check(book, 2s).size(), 1u);
    Changed(book);
    book.SetSilenceLimit(0s);
    EXPECT_EQ(book.MissingNow(), 0u);
    EXPECT_FALSE(book.Panel(0).Missing());
    EXPECT_EQ(Changed(book), (std::vector<std::uint32_t>{0}));
    EXPECT_TRUE(Check(book, 1h).empty());
    EXPECT_FALSE(book.Hear({LOOPBACK_ADDRESS, 5000}, STATUS_0_1, START + 1h, WALL).back);
}

TEST(PanelBook, FollowsAtMostItsPeersAndCountsTheRest)
{
    PanelBook book({1s, 2}, START);
    for (std::uint32_t address = 1; address <= 4; ++address)
        book.Hear({LOOPBACK_ADDRESS + address, 5000}, STATUS_0_1, START, WALL);
    book.Hear({LOOPBACK_ADDRESS + 1, 5001}, STATUS_0_1, START, WALL); // the same panel, restarted
    book.Hear({LOOPBACK_ADDRESS + 1, 5000}, ONLINE_0_2, START, WALL);
    EXPECT_EQ(book.size(), 3u);
    EXPECT_EQ(book.Totals().unfollowed, 2u);
    EXPECT_EQ(book.Panel(0).frames, 2u);
}

// Thousands of panels from two addresses, heard round in one order, then in a shuffled one: each is one
// panel however it is found, and those not heard again go missing, the others not.
TEST(PanelBook, KnowsEachPanelWhateverTheOrderItIsHeardIn)
{
    constexpr int PER_ADDRESS = 2'000;
    std::vector<std::pair<Endpoint, DecodedFrame>> panels;
    for (std::uint32_t address = 1; address <= 2; ++address)
        for (int n = 0; n < PER_ADDRESS; ++n) {
            const auto comm = static_cast<std::uint8_t>(n / 240), dev = static_cast<std::uint8_t>(n % 240);
            const std::vector<std::uint8_t> online{0x08, comm, dev, 0x00, 0x00, 0x00, 0x01, 0x00};
            panels.emplace_back(Endpoint{LOOPBACK_ADDRESS + address, 5000}, Frame(online));
        }
    PanelBook book({1s, 8}, START);
    for (const auto round : {0s, 1s})
        for (const auto& [peer, frame] : panels)
            book.Hear(peer, frame, START + round, WALL);
    std::shuffle(panels.begin(), panels.end(), std::mt19937(3));
    for (std::size_t i = 0; i < panels.size(); i += 2)
        book.Hear({panels[i].first.address, 5001}, panels[i].second, START + 2s, WALL);
    EXPECT_EQ(book.size(), panels.size());
    EXPECT_EQ(book.Totals().malformed, 5 * panels.size() / 2) << "every frame's checksum is wrong";
    EXPECT_EQ(book.Totals().events, 0u);
    EXPECT_EQ(Check(book, 2500ms).size(), panels.size() / 2);
    for (std::size_t i = 0; i < panels.size(); ++i) {
        const auto& [peer, frame] = panels[i];
        const std::uint32_t index = book.Find(peer.address, frame.comm, frame.device);
        ASSERT_NE(index, PanelBook::NO_PANEL);
        const BookPanel& panel = book.Panel(index);
        EXPECT_EQ(panel.Missing(), i % 2 == 1);
        EXPECT_EQ(panel.port, i % 2 == 0 ? 5001 : 5000);
        EXPECT_EQ(panel.frames, i % 2 == 0 ? 3u : 2u);
    }
}

// Two panels report; the book holds each one's status, fault and alarm, logs their events with sequence
// numbers, and counts what carries none.
TEST(PanelBook, HoldsEachPanelsStatusAndLogsItsEvents)
{
    PanelBook book({0s, 8}, START);
    const Endpoint peer{LOOPBACK_ADDRESS, 7015};
    StatusBytes a = DEFAULT_STATUS, b = DEFAULT_STATUS;
    const struct
    {
        DecodedFrame frame;
        PanelFrameKind kind;
        std::uint32_t events;
    } steps[] = {
        {Built("zone-alarm", a, 0, 1, 3), PanelFrameKind::Status, 1},
        {Built("online", b, 0, 2), PanelFrameKind::Event, 1},
        {Built("device-arm", b, 0, 2), PanelFrameKind::Status, 1},
        {Built("fault", a, 0, 1), PanelFrameKind::Event, 1},
        {Built("zone-disarm", b, 0, 2, 8), PanelFrameKind::Status, 1},
        {Built("zone-disarm", b, 0, 2, 8), PanelFrameKind::Status, 0},
        {ACK_0_1, PanelFrameKind::Acknowledgement, 0},
        {Frame({0x0C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0xFF, 0x11, 0x00, 0x00, 0x00}),
         PanelFrameKind::Malformed, 0},
        {Frame({0x12, 0x00, 0x01, 0x00, 0x00, 0x00, 0x3E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
         PanelFrameKind::Other, 0},
    };
    for (const auto& step : steps) {
        const auto heard = book.Hear(peer, step.frame, START, WALL);
        EXPECT_EQ(heard.kind, step.kind);
        EXPECT_EQ(heard.events, step.events);
    }
    EXPECT_EQ(LogText(book, 0), "0 0:1 zone-alarm zone 3; 1 0:2 online; 2 0:2 device-arm; 3 0:1 fault; "
                                "4 0:2 zone-disarm zone 8; ");
    EXPECT_EQ(LogText(book, 3), "3 0:1 fault; 4 0:2 zone-disarm zone 8; ");
    EXPECT_EQ(LogText(book, 5), "");
    ASSERT_EQ(book.size(), 2u);
    EXPECT_EQ(book.Panel(0).status, (StatusBytes{0x04, 0x11, 0x00, 0x00}));
    EXPECT_TRUE(book.Panel(0).Fault());
    EXPECT_TRUE(book.Panel(0).InAlarm());
    EXPECT_EQ(book.Panel(1).status, (StatusBytes{0x00, 0x10, 0x80, 0x00}));
    EXPECT_FALSE(book.Panel(1).Fault());
    EXPECT_EQ(book.InAlarmNow(), 1u);
    EXPECT_EQ(book.EventsOfKind(3), 1u);
    EXPECT_EQ(book.Totals().acknowledgements, 1u);
    EXPECT_EQ(book.Totals().malformed, 1u);
    EXPECT_EQ(book.Totals().other, 1u);
    EXPECT_EQ(book.Totals().events, 5u);

    // A fault restore and a restore of the alarm: the fault ends, no panel is in alarm any more.
    book.Hear(peer, Built("fault-restore", a, 0, 1), START, WALL);
    book.Hear(peer, Built("zone-alarm-restore", a, 0, 1, 3), START, WALL);
    EXPECT_FALSE(book.Panel(0).Fault());
    EXPECT_EQ(book.InAlarmNow(), 0u);
}

// Only the panels heard since the last look, each once, in index order.
TEST(PanelBook, TellsAReaderWhichPanelsChanged)
{
    PanelBook book({1s, 8}, START);
    for (std::uint32_t dev = 0; dev < 200; ++dev) {
        StatusBytes status = DEFAULT_STATUS;
        book.Hear({LOOPBACK_ADDRESS, 5000}, Built("online", status, 0, static_cast<std::uint8_t>(dev)), START,
                  WALL);
    }
    EXPECT_EQ(Changed(book).size(), 200u);
    EXPECT_TRUE(Changed(book).empty());
    StatusBytes status = DEFAULT_STATUS;
    for (const std::uint8_t dev : {150, 3, 150, 70})
        book.Hear({LOOPBACK_ADDRESS, 5000}, Built("tamper", status, 0, dev), START + 100ms, WALL);
    EXPECT_EQ(Changed(book), (std::vector<std::uint32_t>{3, 70, 150}));
    EXPECT_EQ(Check(book, 1050ms).size(), 197u);
    EXPECT_EQ(Changed(book).size(), 197u) << "gone missing is a change";
}

// Past its capacity the log keeps the newest events; a reader behind it resumes at the oldest kept.
TEST(PanelBook, EventLogIsARingWithSequenceNumbers)
{
    veltrano::EventLog log;
    const std::uint64_t total = veltrano::EventLog::CAPACITY + 1000;
    for (std::uint64_t i = 0; i < total; ++i)
        log.Add({static_cast<std::int64_t>(i), static_cast<std::uint32_t>(i), 0, {3, 1}});
    EXPECT_EQ(log.size(), veltrano::EventLog::CAPACITY);
    EXPECT_EQ(log.NextSeq(), total);
    EXPECT_EQ(log.FirstSeq(), 1000u);
    EXPECT_EQ(log.At(1000).wallUs, 1000);
    EXPECT_EQ(log.At(total - 1).wallUs, static_cast<std::int64_t>(total - 1));
    std::uint64_t first = 0, count = 0;
    const std::uint64_t next =
        log.ForEachSince(10, [&](std::uint64_t seq, const veltrano::LoggedEvent& event) {
            if (count++ == 0)
                first = seq;
            EXPECT_EQ(event.wallUs, static_cast<std::int64_t>(seq));
        });
    EXPECT_EQ(first, 1000u);
    EXPECT_EQ(count, veltrano::EventLog::CAPACITY);
    EXPECT_EQ(next, total);
    EXPECT_GE(veltrano::EventLog::CAPACITY, 100'000u);
    EXPECT_LE(log.MemoryBytes(), veltrano::EventLog::CAPACITY * 32);
}

// 57,600 panels (every number behind one address) fit the bound per panel.
TEST(PanelBook, AFullAddressFitsTheBoundPerPanel)
{
    PanelBook book({1s, 8}, START);
    for (int comm = 0; comm < ADDRESS_NUMBERS; ++comm)
        for (int dev = 0; dev < ADDRESS_NUMBERS; ++dev) {
            const auto c = static_cast<std::uint8_t>(comm), d = static_cast<std::uint8_t>(dev);
            book.Hear({LOOPBACK_ADDRESS, 5000}, Frame({0x08, c, d, 0, 0, 0, 0x01, 0}), START, WALL);
        }
    ASSERT_EQ(book.size(), 57'600u);
    EXPECT_LE(book.PanelMemoryBytes(), 57'600u * PanelBook::MAX_BYTES_PER_PANEL);
    EXPECT_EQ(book.Find(LOOPBACK_ADDRESS, 239, 239), 57'599u);
    EXPECT_EQ(book.Find(LOOPBACK_ADDRESS + 1, 239, 239), PanelBook::NO_PANEL);
}

} // namespace
