#pragma once

#include "cli/command.h"

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

enum class DecodeStyle : std::uint8_t
{
    Fields,  // ASCII, a line per field
    Chinese, // the window's description
    Jsonl,   // the frame object every JSON line of the companion uses, without time, direction and peer
};

// `decode`: each frame's display line and summary, then its fields. The texts are checked before anything is
// printed; without texts, lines are read from `in` (blank ones skipped) and decoded as they come, up to the
// first malformed one. 0, or 2 after a malformed text with its reason on stderr.
int RunDecode(std::span<const std::string> texts, DecodeStyle style, std::FILE* in);
void AddDecodeCommand(CLI::App& app, CommandRunner& chosen);

// `events`: index, key, Chinese name and frame kind of every event.
int RunEvents(bool jsonl);
void AddEventsCommand(CLI::App& app, CommandRunner& chosen);
