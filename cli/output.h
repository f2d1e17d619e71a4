#pragma once

#include "net/destination.h"
#include "protocol/log_line.h"

#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

// What the companion prints on standard output: a line per frame, in text (FormatLogLine) or as JSON, and a
// summary last. Lines gather in a buffer that is written a block at a time, at once on a terminal.

struct FrameEvent
{
    std::int64_t timeUs{0}; // wall clock
    Direction direction{Direction::In};
    Destination peer; // network byte order
    std::span<const std::uint8_t> bytes;
    std::optional<std::int64_t> rttUs; // an acknowledgement matched to a frame this run sent
    int sendError{0};
    std::string_view note; // what a fault option did, in a few words
};

inline FrameEvent SentFrame(std::int64_t timeUs, const Destination& to, std::span<const std::uint8_t> bytes,
                            int sendError = 0, std::string_view note = {})
{
    return {timeUs, Direction::Out, to, bytes, std::nullopt, sendError, note};
}

inline FrameEvent ReceivedFrame(std::int64_t timeUs, const Destination& from,
                                std::span<const std::uint8_t> bytes,
                                std::optional<std::int64_t> rttUs = std::nullopt, std::string_view note = {})
{
    return {timeUs, Direction::In, from, bytes, rttUs, 0, note};
}

using SummaryValue = std::variant<std::uint64_t, double, std::string>;
using SummaryField = std::pair<std::string_view, SummaryValue>;

class Output final
{
public:
    explicit Output(bool jsonl, int fd = 1);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    bool Jsonl() const { return m_jsonl; }
    void Frame(const FrameEvent& event);
    // Text: "summary: key=value ..."; JSON: {"type":"summary","command":...,key:value...}. Flushed.
    void Summary(std::string_view command, std::span<const SummaryField> fields);
    // Lines after a batch of frames: written at once on a terminal, else once a block has gathered.
    void EndOfBatch();
    void Flush();

private:
    void FrameJson(const FrameEvent& event);

    bool m_jsonl{false};
    int m_fd{1};
    bool m_terminal{false};
    bool m_failed{false}; // a reader that went away takes no more output
    fmt::memory_buffer m_buffer;
};

// The text with JSON's escapes, without quotes.
void AppendJsonEscaped(fmt::memory_buffer& out, std::string_view text);
