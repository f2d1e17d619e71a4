#pragma once

#include "protocol/endpoint.h"
#include "protocol/frame_decoder.h"
#include "protocol/result.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano {

// One fault rule, as `--rule`, a rules file or the control API give it: "DIRECTION ACTION [KEY=VALUE...]".
// `up` is panel to centre, `down` centre to panel.
enum class FaultDirection : std::uint8_t
{
    Up,
    Down,
    Both,
};

// What a rule does to the datagrams it acts on.
enum class FaultAction : std::uint8_t
{
    Drop,
    Delay,    // delay=MS[~JITTER]
    Dup,      // dup[=N]: N more copies
    Corrupt,  // the checksum's bits turned over
    Withhold, // withhold=N: the first N copies of each distinct frame dropped
    Reorder,  // held until the next datagram of its direction and session has gone
    Loss,     // loss=P_START/P_STAY: two-state burst loss
};

// command=...: which datagrams a rule names by what they hold.
enum class CommandMatch : std::uint8_t
{
    Online,
    Status,
    Fault,
    FaultRestore,
    Debug,
    Ack,
    Malformed, // any finding at all
};

struct FaultRule
{
    FaultDirection direction{FaultDirection::Both};
    FaultAction action{FaultAction::Drop};
    std::chrono::milliseconds delay{0};
    std::chrono::milliseconds jitter{0}; // uniform in delay ± jitter, never below 0
    std::uint32_t copies{1};             // dup
    std::uint32_t withhold{0};
    double lossStart{0}; // percent: the chance a burst of losses starts at a datagram passed
    double lossStay{0};  // percent: the chance the next datagram is lost too, in a burst
    std::optional<std::uint8_t> comm;
    std::optional<std::uint8_t> device;
    std::optional<CommandMatch> command;
    std::optional<std::uint32_t> fromAddress; // the panel's address, in either direction
    std::uint16_t fromPort{0};                // 0: any
    double percent{100};                      // pct=P: the share of matching datagrams acted on
    std::string text;                         // as given, spaces trimmed

    // Whether the rule names this datagram: its direction and matches, before `pct`.
    bool Matches(bool up, const DecodedFrame& decoded, const Endpoint& panel) const;
};

// The actions' keys as a rule spells them: "drop", "delay", "dup", "corrupt", "withhold", "reorder", "loss".
std::string_view FaultActionKey(FaultAction action);

// A rule from its text; the reason otherwise, "column N: ..." with N the 1-based place of what is wrong.
Result<FaultRule> ParseFaultRule(std::string_view text);
// The rules given one an option (`--rule`), in their order; the reason otherwise, naming the rule.
Result<std::vector<FaultRule>> ParseRuleOptions(std::span<const std::string> texts);
// A rules file: one rule a line, blank lines and lines starting with '#' passed over; the reason otherwise,
// "line L, column N: ...".
Result<std::vector<FaultRule>> ParseFaultRules(std::string_view text);
// The same from a file.
Result<std::vector<FaultRule>> ReadFaultRules(const std::string& path);

} // namespace veltrano
