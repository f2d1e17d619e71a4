// Arbitrary datagrams from a few peers through the centre's panel book, with the clock moving on and silences
// checked. The status rules must give events that, applied in order by the event builder, turn each panel's
// last status into its new one; the book's counts must agree with its panels and its log.
//
// Input: records of [peer 1 byte][clock step 1 byte][length 1 byte][that many bytes, as far as the input
// goes]; the first 8 bytes are also read as two statuses for the rules alone.
#include "book/panel_book.h"
#include "sim/event_builder.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>
#include <vector>

using namespace veltrano;

namespace {

// The events applied in order to `from`: the status they leave.
StatusBytes Apply(StatusBytes status, std::span<const veltrano::PanelEvent> events)
{
    for (const veltrano::PanelEvent& event : events) {
        if (event.row == veltrano::STATUS_BITS_EVENT) {
            status[event.byte] ^= event.bits;
            continue;
        }
        const auto built = BuildEvent(event.row, status, 0, 0, event.zone);
        if (!std::holds_alternative<BuiltEvent>(built))
            std::abort();
        status = std::get<BuiltEvent>(built).status;
    }
    return status;
}

void CheckRules(std::span<const std::uint8_t> data)
{
    if (data.size() < 8)
        return;
    const StatusBytes from{data[0], data[1], data[2], data[3]};
    const StatusBytes to{data[4], data[5], data[6], data[7]};
    const veltrano::PanelEvents events = veltrano::StatusEvents(from, to);
    if (Apply(from, {events.begin(), events.end()}) != to || (from == to) != events.empty())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    CheckRules(input);

    using namespace std::chrono_literals;
    const veltrano::SteadyTime start{};
    veltrano::PanelBook book({50ms, 3}, start);
    veltrano::SteadyTime now = start;
    std::size_t at = 0;
    while (at + 3 <= size) {
        const Endpoint peer{LOOPBACK_ADDRESS + (data[at] & 7U),
                            static_cast<std::uint16_t>(5000 + (data[at] >> 3))};
        now += std::chrono::milliseconds(data[at + 1]);
        const std::size_t length = std::min<std::size_t>(data[at + 2], size - at - 3);
        const std::span<const std::uint8_t> datagram = input.subspan(at + 3, length);
        at += 3 + length;

        const DecodedFrame decoded = DecodeFrame(datagram);
        const std::uint32_t before = book.Find(peer.address, decoded.comm, decoded.device);
        const StatusBytes last =
            before != veltrano::PanelBook::NO_PANEL ? book.Panel(before).status : veltrano::FIRST_STATUS;
        const auto heard = book.Hear(peer, decoded, now, 0);
        if (heard.panel != veltrano::PanelBook::NO_PANEL) {
            if (heard.panel >= book.size() ||
                (before != veltrano::PanelBook::NO_PANEL && heard.panel != before))
                std::abort();
            std::vector<veltrano::PanelEvent> events;
            for (std::uint64_t seq = heard.firstSeq; seq < heard.firstSeq + heard.events; ++seq)
                events.push_back(book.Events().At(seq).event);
            if (events.size() > veltrano::PanelEvents::CAPACITY ||
                Apply(last, events) != book.Panel(heard.panel).status)
                std::abort();
        } else if (heard.events != 0) {
            std::abort();
        }
        book.Check(now, [&](const veltrano::PanelBook::Report& report) {
            if (report.panel >= book.size() || !book.Panel(report.panel).Missing())
                std::abort();
        });
    }

    std::size_t missing = 0, inAlarm = 0;
    for (std::uint32_t i = 0; i < book.size(); ++i) {
        missing += book.Panel(i).Missing() ? 1 : 0;
        inAlarm += book.Panel(i).InAlarm() ? 1 : 0;
    }
    if (missing != book.MissingNow() || inAlarm != book.InAlarmNow() ||
        book.Events().NextSeq() != book.Totals().events)
        std::abort();
    return 0;
}
