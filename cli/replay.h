#pragma once

#include "cli/command.h"

// `replay`: the frames of a capture sent again, each captured source from a socket of its own, and every
// live answer judged against the centre's rule and against the answer the capture had.
void AddReplayCommand(CLI::App& app, CommandRunner& chosen);
