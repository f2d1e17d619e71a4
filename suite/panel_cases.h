#pragma once

#include "link/ack_matcher.h"
#include "link/answer_policy.h"
#include "protocol/acknowledgement.h"
#include "protocol/endpoint.h"
#include "protocol/result.h"
#include "verdict/verdict.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

// The judges of a panel talking to a centre, one row each, run over every frame the panel sent once the
// run ends. The command that listens feeds a PanelRecording and sends the answers it gives.

namespace veltrano {

struct PanelSettings
{
    int withhold{0}; // the first K copies of each frame go unanswered
    int retryMinMs{1};
    int retryMaxMs{5000};
    int retries{3};       // most copies after the first
    double heartbeatS{0}; // 0: not judged
};

// --retry-within's "MIN-MAX" in milliseconds, MIN not above MAX; the reason otherwise.
[[nodiscard]] Result<std::pair<int, int>> ParseRetryWithin(std::string_view text);

// Every frame heard from the panel, and which were answered.
class PanelRecording final
{
public:
    struct Frame
    {
        Endpoint from;
        std::vector<std::uint8_t> bytes;
        MonoTime at;
        bool answerable{false}; // the centre rule answers it
        bool withheld{false};   // answerable, but left unanswered on purpose
    };

    // `broadcasts`: this machine's directed broadcast addresses, never answered.
    PanelRecording(int withhold, MonoTime start, std::vector<std::uint32_t> broadcasts = {})
        : m_policy(std::move(broadcasts)), m_withhold(withhold), m_start(start), m_end(start)
    {}

    // A frame heard at `now`: its acknowledgement when the centre's rule answers it and it is not withheld,
    // nothing when it is not.
    std::optional<AckFrame> Heard(const Endpoint& from, std::span<const std::uint8_t> bytes, MonoTime now);
    void End(MonoTime now) { m_end = now; }

    std::span<const Frame> Frames() const { return m_frames; }
    MonoTime Start() const { return m_start; }
    MonoTime Ended() const { return m_end; }

private:
    AnswerPolicy m_policy;
    int m_withhold{0};
    MonoTime m_start;
    MonoTime m_end;
    std::vector<Frame> m_frames;
    std::map<std::pair<Endpoint, std::vector<std::uint8_t>>, int> m_copies;
};

struct PanelCase
{
    std::string_view id; // fixed: what dashboards name
    std::string_view requirement;
    // The option the judge needs, as the verdict of a run without it says; empty: always judged.
    std::string_view needs;
    bool (*judged)(const PanelSettings&){nullptr};
    Judgement (*judge)(const PanelRecording&, const PanelSettings&){nullptr};
};

// Every judge, in the order the verdicts go out.
std::span<const PanelCase> PanelCases();
// A verdict per row, each lasting the whole run.
std::vector<Verdict> JudgePanel(const PanelRecording& recording, const PanelSettings& settings);

} // namespace veltrano
