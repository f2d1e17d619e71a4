#pragma once

#include "cli/command.h"

// `test` with its two suites: `test centre` judges a centre under test by the centre rule, `test panel`
// is a centre that judges the panel talking to it. Each case has a fixed id.
void AddTestCommand(CLI::App& app, CommandRunner& chosen);
