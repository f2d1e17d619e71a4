#pragma once

#include "cli/command.h"

// `send` and `hex`: frames one after the other to one destination; with --expect-ack each waits for its
// acknowledgement and is sent again up to --retries times before the next one goes.
void AddSendCommand(CLI::App& app, CommandRunner& chosen);
void AddHexCommand(CLI::App& app, CommandRunner& chosen);
