#pragma once

#include <string>

namespace CLI {
class App;
}

// Shell completion read from the command line's own declarations, so that it follows every option added.

// The hidden `completion bash` subcommand, added to `app`.
CLI::App* AddCompletionCommand(CLI::App& app);
// A bash script that completes the subcommands of `app`, each one's options, the event keys of an EVENT
// argument and file names for FILE arguments and options.
std::string BashCompletion(const CLI::App& app);
// Prints BashCompletion(app) to stdout; the exit status.
int PrintCompletion(const CLI::App& app);
