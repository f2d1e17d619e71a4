#pragma once

#include "protocol/frame_decoder.h"
#include "protocol/result.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano {

// A scenario file: the steps one side of the protocol takes against a peer, read from YAML, checked whole
// before anything is sent. Repeats are unrolled when read, so a run is one list of steps.
//
//     role: panel                 # panel: sends to `peer`; centre: listens on `port`
//     vars: {peer: "127.0.0.1:8015"}
//     peer: ${peer}
//     timeout: 1000               # ms, the default `within` of the expectations
//     steps:
//       - send: {event: zone-alarm, comm: 0, dev: 1, zone: 1}
//       - expect-ack: {within: 500}
//       - repeat: {times: 3, steps: [{send: {hex: "08 00 01 00 00 00 01 0A"}}, expect-ack]}
//
// Every error is "FILE:LINE:COLUMN: reason", at the place in the file it concerns.

enum class ScenarioRole : std::uint8_t
{
    Panel,
    Centre,
};

enum class StepKind : std::uint8_t
{
    Send,        // panel: the bytes to the peer
    ExpectAck,   // panel: the last frame sent is acknowledged within `within`
    ExpectNoAck, // panel: it is not, within `within`
    ExpectFrame,   // centre: a frame matching `match` comes within `within`
    ExpectNoFrame, // centre: none matching `match` comes within `within`
    Answer,      // centre: how the next frame is answered
    Wait,        // `within` passes
};

enum class AnswerMode : std::uint8_t
{
    Normal,
    Withhold,
    Delay,
    Twice,
    BadChecksum,
    Hex, // the step's `answers`, whatever the frame was
};

// Fields a received frame must have; an absent one matches anything.
struct FrameMatch
{
    std::optional<std::uint8_t> command; // byte 6
    std::optional<std::uint8_t> comm;
    std::optional<std::uint8_t> device;
    std::optional<std::uint8_t> alarmZones;  // exactly these zone bits in ZoneAlarm
    std::optional<std::uint8_t> deviceFlags; // exactly these bits 0 to 6 of DeviceFlags
    std::optional<bool> malformed;           // whether the decoder finds a fault in the frame

    bool Matches(const DecodedFrame& frame) const;
    // "command 0x02 comm 0 dev 1 alarm 0x01": what a failure says was expected.
    std::string Describe() const;
};

struct ScenarioStep
{
    std::string id; // "3-expect-ack", "4.2-send" inside a repeat; or the step's own `id`
    StepKind kind{StepKind::Wait};
    std::string what; // a few words for the verdict: "zone-alarm comm 0 dev 1 zone 1"
    std::vector<std::uint8_t> bytes;
    std::chrono::milliseconds within{0};
    FrameMatch match;
    AnswerMode answer{AnswerMode::Normal};
    std::chrono::milliseconds delay{0};
    std::vector<std::vector<std::uint8_t>> answers; // AnswerMode::Hex: the datagrams, in order
};

struct ScenarioPosition
{
    int line{0}; // from 1
    int column{0};
};

struct Scenario
{
    std::string name;
    ScenarioRole role{ScenarioRole::Panel};
    std::string peer; // HOST:PORT, the panel role's destination
    ScenarioPosition peerAt;
    std::uint16_t port{0}; // the centre role's
    std::string bind{"127.0.0.1"};
    ScenarioPosition bindAt;
    std::vector<ScenarioStep> steps;
};

// Most steps after repeats are unrolled, and most nested repeats: a file cannot make a run without end.
inline constexpr std::size_t MAX_SCENARIO_STEPS = 100'000;
inline constexpr int MAX_REPEAT_DEPTH = 8;

// `vars` are the --var values; each must name a variable the file declares under `vars`.
[[nodiscard]] Result<Scenario> ParseScenario(std::string_view text, std::string_view fileName,
                                             const std::map<std::string, std::string>& vars = {});

// "FILE:LINE:COLUMN: reason".
std::string PositionedError(std::string_view fileName, const ScenarioPosition& at, std::string_view reason);

} // namespace veltrano
