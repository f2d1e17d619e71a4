#pragma once

#include "cli/command.h"

// `fleet`: up to the whole address space of panels, each sending its heartbeat and events from its own
// source address and port, every frame waiting for its acknowledgement and retried; a summary per event
// kind, round-trip percentiles and the panels that lost a frame.
void AddFleetCommand(CLI::App& app, CommandRunner& chosen);
