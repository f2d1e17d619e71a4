#pragma once

#include "cli/command.h"

// `decode`: each frame as veltrano::AppendDecodedFrame shows it. The texts are checked before anything is
// printed; without texts, lines are read from `in` (blank ones skipped) and decoded as they come, up to the
// first malformed one. 0, or 2 after a malformed text with its reason on stderr.
void AddDecodeCommand(CLI::App& app, CommandRunner& chosen);

// `events`: index, key, Chinese name and frame kind of every event.
void AddEventsCommand(CLI::App& app, CommandRunner& chosen);
