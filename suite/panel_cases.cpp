#include "suite/panel_cases.h"

#include "protocol/frame_decoder.h"
#include "protocol/number_text.h"
#include "suite/frame_checks.h"

#include <fmt/format.h>

namespace veltrano {

namespace {

using Frame = PanelRecording::Frame;

std::string At(const PanelRecording& recording, MonoTime at)
{
    return fmt::format("+{:.3f} s", std::chrono::duration<double>(at - recording.Start()).count());
}

double Ms(MonoClock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Passed with `passed`, or failed naming the first failure and listing all.
Judgement FromFailures(const std::vector<std::string>& failures, std::string passed)
{
    if (failures.empty())
        return Judgement::Pass(std::move(passed));
    return Judgement::Fail(failures.size() == 1
                               ? failures.front()
                               : fmt::format("{} failures; first: {}", failures.size(), failures.front()),
                           fmt::format("{}", fmt::join(failures, "\n")));
}

Judgement JudgeWellFormed(const PanelRecording& recording, const PanelSettings&)
{
    std::vector<std::string> failures;
    for (const Frame& frame : recording.Frames()) {
        if (const auto problem = PanelFrameProblem(frame.bytes))
            failures.push_back(fmt::format("frame at {} from {} ({}): {}", At(recording, frame.at),
                                           frame.from.ToString(), FormatBytesHex(frame.bytes), *problem));
    }
    return FromFailures(failures, fmt::format("{} frames well formed", recording.Frames().size()));
}

// The copies of one frame of one sender after the first: each after a withheld one within the window, none
// soon after an answered one, and no more than --retries.
void JudgeCopies(const PanelRecording& recording, const PanelSettings& settings, const std::string& name,
                 const std::vector<const Frame*>& list, std::vector<std::string>& failures)
{
    const auto window = fmt::format("{}-{} ms", settings.retryMinMs, settings.retryMaxMs);
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Frame& copy = *list[i];
        const std::string again = fmt::format("{} again within {} of its unanswered copy at {}", name, window,
                                              At(recording, copy.at));
        if (copy.withheld && i + 1 < list.size()) {
            const double gap = Ms(list[i + 1]->at - copy.at);
            if (gap < settings.retryMinMs || gap > settings.retryMaxMs)
                failures.push_back(ExpectedGot(again, fmt::format("it after {:.1f} ms", gap)));
        } else if (copy.withheld) {
            const double left = Ms(recording.Ended() - copy.at);
            failures.push_back(
                ExpectedGot(again, left >= settings.retryMaxMs
                                       ? std::string("none")
                                       : fmt::format("none before the run ended {:.1f} ms later", left)));
        } else if (i > 0 && !list[i - 1]->withheld) {
            // The one before was answered: this copy should not have come, unless long after.
            const double gap = Ms(copy.at - list[i - 1]->at);
            if (gap <= settings.retryMaxMs)
                failures.push_back(ExpectedGot(fmt::format("no copy of {} after its acknowledgement at {}",
                                                           name, At(recording, list[i - 1]->at)),
                                               fmt::format("one {:.1f} ms later", gap)));
        }
    }
    if (list.size() > static_cast<std::size_t>(settings.retries) + 1)
        failures.push_back(ExpectedGot(fmt::format("{} sent at most {} times", name, settings.retries + 1),
                                       fmt::format("{} copies", list.size())));
}

Judgement JudgeRetries(const PanelRecording& recording, const PanelSettings& settings)
{
    // The copies of each distinct frame of a sender, in arrival order.
    std::map<std::pair<Endpoint, std::vector<std::uint8_t>>, std::vector<const Frame*>> copies;
    for (const Frame& frame : recording.Frames()) {
        if (frame.answerable)
            copies[{frame.from, frame.bytes}].push_back(&frame);
    }
    std::vector<std::string> failures;
    for (const auto& [key, list] : copies)
        JudgeCopies(recording, settings, FormatBytesHex(key.second), list, failures);
    return FromFailures(
        failures, fmt::format("each withheld acknowledgement brought the same bytes again within {}-{} ms, "
                              "at most {} times",
                              settings.retryMinMs, settings.retryMaxMs, settings.retries));
}

Judgement JudgeHeartbeat(const PanelRecording& recording, const PanelSettings& settings)
{
    std::vector<std::string> failures;
    std::map<std::pair<int, int>, MonoTime> last;
    const auto limit = std::chrono::duration<double>(settings.heartbeatS);
    const auto check = [&](std::pair<int, int> device, MonoTime from, MonoTime to, bool ended) {
        if (to - from > limit)
            failures.push_back(
                ExpectedGot(fmt::format("comm {} dev {} again within {} s of {}", device.first, device.second,
                                        settings.heartbeatS, At(recording, from)),
                            fmt::format("{} after {:.3f} s", ended ? "nothing until the end" : "a frame",
                                        std::chrono::duration<double>(to - from).count())));
    };
    for (const Frame& frame : recording.Frames()) {
        if (frame.bytes.size() <= FRAME_DEVICE_NO)
            continue;
        const std::pair<int, int> device{frame.bytes[FRAME_COMM_NO], frame.bytes[FRAME_DEVICE_NO]};
        if (const auto seen = last.find(device); seen != last.end())
            check(device, seen->second, frame.at, false);
        last[device] = frame.at;
    }
    // A device that fell silent before the end is as late as one whose next frame came late.
    for (const auto& [device, at] : last)
        check(device, at, recording.Ended(), true);
    return FromFailures(failures, fmt::format("every device sent again within {} s", settings.heartbeatS));
}

Judgement JudgeStatus(const PanelRecording& recording, const PanelSettings&)
{
    std::vector<std::string> failures;
    std::map<std::pair<int, int>, StatusBytes> last;
    bool compared = false;
    for (const Frame& frame : recording.Frames()) {
        const DecodedFrame decoded = DecodeFrame(frame.bytes);
        if (decoded.ack || decoded.kind != CommandKind::Status || decoded.statusCount != 4 ||
            !decoded.findings.Empty())
            continue;
        const std::pair<int, int> device{decoded.comm, decoded.device};
        if (const auto seen = last.find(device); seen != last.end()) {
            compared = true;
            if (const auto problem = StatusStepProblem(seen->second, decoded.status))
                failures.push_back(
                    ExpectedGot(fmt::format("comm {} dev {} to change by one event from {}", device.first,
                                            device.second, StatusHex(seen->second)),
                                fmt::format("{} at {} ({})", StatusHex(decoded.status),
                                            At(recording, frame.at), *problem)));
        }
        last[device] = decoded.status;
    }
    if (!compared)
        return Judgement::Skip("no device sent two status frames");
    return FromFailures(failures, "every status change is one event of the catalogue");
}

bool Always(const PanelSettings&)
{
    return true;
}

const PanelCase CASES[] = {
    {"well-formed",
     "every frame has a right length byte, checksum, reserved bytes, numbers and command",
     {},
     Always,
     JudgeWellFormed},
    {"retries",
     "an unanswered frame comes again within the retry window, at most --retries times, and an answered one "
     "does not",
     "needs --withhold", [](const PanelSettings& s) { return s.withhold > 0; }, JudgeRetries},
    {"heartbeat", "every device sends again within the heartbeat, to the end of the run", "needs --heartbeat",
     [](const PanelSettings& s) { return s.heartbeatS > 0; }, JudgeHeartbeat},
    {"status-consistent",
     "each status a device sends follows from its last by one event of the catalogue",
     {},
     Always,
     JudgeStatus},
};

} // namespace

Result<std::pair<int, int>> ParseRetryWithin(std::string_view text)
{
    const auto dash = text.find('-');
    if (dash != std::string_view::npos) {
        const auto low = ParseNumber<int>(text.substr(0, dash));
        const auto high = ParseNumber<int>(text.substr(dash + 1));
        if (low && high && *low >= 0 && *high >= *low && *high <= 3'600'000)
            return std::pair{*low, *high};
    }
    return Failure(fmt::format("--retry-within {}: MIN-MAX in milliseconds, MIN not above MAX", text));
}

std::optional<AckFrame> PanelRecording::Heard(const Endpoint& from, std::span<const std::uint8_t> bytes,
                                              MonoTime now)
{
    Frame frame{from, {bytes.begin(), bytes.end()}, now};
    frame.answerable = std::holds_alternative<AckFrame>(AcknowledgementFor(bytes));
    if (frame.answerable)
        frame.withheld = ++m_copies[{frame.from, frame.bytes}] <= m_withhold;
    const auto decision = m_policy.Decide(bytes, from, AnswerFaults{.withhold = frame.withheld});
    m_frames.push_back(std::move(frame));
    if (const auto* answer = std::get_if<PlannedAnswer>(&decision))
        return answer->ack;
    return std::nullopt;
}

std::span<const PanelCase> PanelCases()
{
    return CASES;
}

std::vector<Verdict> JudgePanel(const PanelRecording& recording, const PanelSettings& settings)
{
    const double seconds = std::chrono::duration<double>(recording.Ended() - recording.Start()).count();
    std::vector<Verdict> verdicts;
    for (const PanelCase& row : CASES) {
        Judgement judgement = Judgement::Skip(std::string(row.needs));
        if (row.judged(settings) && recording.Frames().empty())
            judgement = Judgement::Fail("no frame received");
        else if (row.judged(settings))
            judgement = row.judge(recording, settings);
        verdicts.push_back(MakeVerdict(std::string(row.id), std::move(judgement), seconds));
    }
    return verdicts;
}

} // namespace veltrano
