#include "suite/frame_checks.h"

#include "protocol/frame_decoder.h"
#include "protocol/hex.h"
#include "sim/status_rules.h"

#include <fmt/format.h>

#include <algorithm>

namespace veltrano {

std::optional<std::string> PanelFrameProblem(std::span<const std::uint8_t> datagram)
{
    const DecodedFrame frame = DecodeFrame(datagram);
    std::string reasons;
    auto add = [&reasons](const std::string& reason) {
        if (!reasons.empty())
            reasons += ", ";
        reasons += reason;
    };
    if (datagram.empty())
        return std::string("empty datagram");
    if (frame.findings.Has(Finding::LengthMismatch))
        add(fmt::format("length byte {}, datagram {} bytes", frame.declaredLength, frame.size));
    if (frame.findings.Has(Finding::BadChecksum))
        add(fmt::format("checksum 0x{:02X} expected, 0x{:02X} found", frame.checksumExpected,
                        frame.checksumFound));
    else if (frame.checksum == ChecksumState::Missing)
        add("no checksum");
    if (frame.findings.Has(Finding::ReservedNotZero))
        add(fmt::format("reserved bytes 0x{:02X} 0x{:02X} 0x{:02X}", frame.reserved[0], frame.reserved[1],
                        frame.reserved[2]));
    if (frame.findings.Has(Finding::CommOutOfRange))
        add(fmt::format("communicator {} above {}", frame.comm, MAX_ADDRESS_NUMBER));
    if (frame.findings.Has(Finding::DeviceOutOfRange))
        add(fmt::format("device {} above {}", frame.device, MAX_ADDRESS_NUMBER));
    if (datagram.size() > FRAME_COMMAND && (frame.ack || frame.kind == CommandKind::Unknown))
        add(fmt::format("command 0x{:02X} {}", frame.command,
                        frame.ack ? "is an acknowledgement" : "unknown"));
    else if (frame.findings.Has(Finding::Truncated))
        add(fmt::format("cut short at {} bytes", frame.size));
    if (reasons.empty())
        return std::nullopt;
    return reasons;
}

bool StatusStepPossible(const StatusBytes& before, const StatusBytes& after)
{
    return !StatusStepProblem(before, after).has_value();
}

std::optional<std::string> StatusStepProblem(const StatusBytes& before, const StatusBytes& after)
{
    const veltrano::PanelEvents events = veltrano::StatusEvents(before, after);
    const bool unknownBits = std::ranges::any_of(
        events, [](const veltrano::PanelEvent& event) { return event.row == veltrano::STATUS_BITS_EVENT; });
    if (events.size() <= 1 && !unknownBits)
        return std::nullopt;
    std::string names;
    for (const veltrano::PanelEvent& event : events) {
        if (!names.empty())
            names += ", ";
        veltrano::AppendEventText(names, event);
    }
    if (events.size() == 1)
        return names + ", which no event sets";
    return fmt::format("{} events: {}", events.size(), names);
}

std::string StatusHex(const StatusBytes& status)
{
    return FormatBytesHex(status);
}

} // namespace veltrano
