#pragma once

#include "cli/command.h"
#include "link/output_format.h"

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

// The text of a decoded frame; as JSON Lines, the frame object every JSON line of the companion uses, without
// time, direction and peer.
enum class DecodeText : std::uint8_t
{
    Fields,  // ASCII, a line per field
    Chinese, // the window's description
};

// `decode`: each frame's display line and summary, then its fields. The texts are checked before anything is
// printed; without texts, lines are read from `in` (blank ones skipped) and decoded as they come, up to the
// first malformed one. 0, or 2 after a malformed text with its reason on stderr.
int RunDecode(std::span<const std::string> texts, veltrano::OutputFormat format, DecodeText text,
              std::FILE* in);
void AddDecodeCommand(CLI::App& app, CommandRunner& chosen);

// `events`: index, key, Chinese name and frame kind of every event.
int RunEvents(veltrano::OutputFormat format);
void AddEventsCommand(CLI::App& app, CommandRunner& chosen);
