#pragma once

#include "cli/command.h"

// `test panel`, under `test`: a centre on --port that judges the panel talking to it.
void AddTestPanelCommand(CLI::App& test, CommandRunner& chosen);
