// The centre's panel book at the whole address space: bytes per panel, bytes per event of the full event
// log, and the time a frame takes through the book.
#include "bench/bench_report.h"
#include "book/panel_book.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"

#include <chrono>
#include <vector>

using namespace veltrano;

namespace {

constexpr int ALL = ADDRESS_NUMBERS * ADDRESS_NUMBERS;

DecodedFrame StatusFrame(int panel, const StatusBytes& status)
{
    const auto built = BuildEvent(1, status, static_cast<std::uint8_t>(panel / ADDRESS_NUMBERS),
                                  static_cast<std::uint8_t>(panel % ADDRESS_NUMBERS), 1);
    return DecodeFrame(std::get<BuiltEvent>(built).Frame());
}

} // namespace

int main()
{
    using namespace std::chrono_literals;
    const veltrano::SteadyTime start = std::chrono::steady_clock::now();
    veltrano::PanelBook book({60s, veltrano::PanelBook::DEFAULT_MAX_PEERS}, start);
    const Endpoint peer{LOOPBACK_ADDRESS, 7015};

    // Every panel reports its status once a round: the first round admits them, the later ones find them.
    std::vector<DecodedFrame> heartbeats;
    heartbeats.reserve(ALL);
    for (int panel = 0; panel < ALL; ++panel)
        heartbeats.push_back(StatusFrame(panel, DEFAULT_STATUS));
    for (const DecodedFrame& frame : heartbeats)
        book.Hear(peer, frame, start, 0);
    const double perPanel = static_cast<double>(book.PanelMemoryBytes()) / ALL;
    Report("panel book at 57,600 panels, bytes per panel", Fixed(perPanel, 1), "<= 64", perPanel <= 64);

    constexpr int ROUNDS = 20;
    const std::int64_t before = ThreadCpuNs();
    for (int round = 1; round <= ROUNDS; ++round)
        for (const DecodedFrame& frame : heartbeats)
            book.Hear(peer, frame, start + std::chrono::seconds(round), 0);
    const double perFrame = static_cast<double>(ThreadCpuNs() - before) / (ROUNDS * ALL);
    Note("a heartbeat through the book, 57,600 panels round robin (ns)", Fixed(perFrame, 1));

    // Alarm and restore by turns, each a frame with one event, until the log has wrapped.
    StatusBytes alarm = DEFAULT_STATUS;
    alarm[ZoneAlarm] = 0x01;
    const std::vector<DecodedFrame> alarms{StatusFrame(7, alarm), StatusFrame(7, DEFAULT_STATUS)};
    const std::int64_t eventsStart = ThreadCpuNs();
    const std::size_t frames = veltrano::EventLog::CAPACITY + 1000;
    for (std::size_t i = 0; i < frames; ++i)
        book.Hear(peer, alarms[i % 2], start + 30s, 0);
    const double perEventFrame =
        static_cast<double>(ThreadCpuNs() - eventsStart) / static_cast<double>(frames);
    Note("a frame with one event through the book (ns)", Fixed(perEventFrame, 1));
    const auto& log = book.Events();
    const double perEvent = static_cast<double>(log.MemoryBytes()) / static_cast<double>(log.size());
    Report("event log of " + Fixed(static_cast<double>(veltrano::EventLog::CAPACITY)) +
               " events, bytes per event",
           Fixed(perEvent, 1), "<= 32", perEvent <= 32 && log.FirstSeq() > 0);
    return 0;
}
