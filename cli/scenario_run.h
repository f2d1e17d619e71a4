#pragma once

#include "cli/command.h"

// `run FILE`: a scenario file for either role, executed over a socket step by step, each step judged as a
// verdict of the shared report. The file is read and checked whole before anything is sent.
void AddRunCommand(CLI::App& app, CommandRunner& chosen);
