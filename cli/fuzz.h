#pragma once

#include "cli/command.h"

// `fuzz centre`: mutated frames to a centre under test, its liveness probed, its answers held to the centre
// rule, and each fault it shows written as a finding that reproduces.
void AddFuzzCommand(CLI::App& app, CommandRunner& chosen);
