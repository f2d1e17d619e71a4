#pragma once

#include "cli/command.h"
#include "link/frame_text.h"
#include "link/output_format.h"

#include <cstdio>
#include <span>
#include <string>

// `decode`: each frame as veltrano::AppendDecodedFrame shows it. The texts are checked before anything is
// printed; without texts, lines are read from `in` (blank ones skipped) and decoded as they come, up to the
// first malformed one. 0, or 2 after a malformed text with its reason on stderr.
int RunDecode(std::span<const std::string> texts, veltrano::OutputFormat format, veltrano::DecodeText text,
              std::FILE* in);
void AddDecodeCommand(CLI::App& app, CommandRunner& chosen);

// `events`: index, key, Chinese name and frame kind of every event.
int RunEvents(veltrano::OutputFormat format);
void AddEventsCommand(CLI::App& app, CommandRunner& chosen);
