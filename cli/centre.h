#pragma once

#include "cli/command.h"

// `centre`: answers every datagram as the window's centre does (AcknowledgementFor), a batch of datagrams per
// notification, with optional faults for testing a panel's retries, until a count, a time or a signal ends
// it.
void AddCentreCommand(CLI::App& app, CommandRunner& chosen);
