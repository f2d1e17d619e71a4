#pragma once

#include "cli/command.h"

// `sweep`: the automatic sweep's frames tick by tick, paced by elapsed time at --rate frames per second (the
// frames due at each timer wake-up go in one batch), or with --rate max at most --window outstanding and a
// new frame per acknowledgement. With --expect-ack every frame is tracked until acknowledged or --timeout
// old.
void AddSweepCommand(CLI::App& app, CommandRunner& chosen);
