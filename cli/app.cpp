#include "cli/app.h"

#include "cli/centre.h"
#include "cli/command.h"
#include "cli/command_run.h"
#include "cli/completion.h"
#include "cli/decode.h"
#include "cli/fleet.h"
#include "cli/fuzz.h"
#include "cli/judge_centre.h"
#include "cli/proxy.h"
#include "cli/replay.h"
#include "cli/scenario_run.h"
#include "cli/sender.h"
#include "cli/sweep.h"

#include <CLI/CLI.hpp>

#include <csignal>

using namespace veltrano;

#ifndef VELTRANO_VERSION
#define VELTRANO_VERSION "0"
#endif

namespace {

// Every subcommand, in the order --help lists them.
constexpr AddCommand COMMANDS[] = {
    AddCentreCommand, AddProxyCommand, AddSendCommand, AddHexCommand,   AddSweepCommand,  AddFleetCommand,
    AddReplayCommand, AddTestCommand,  AddRunCommand,  AddFuzzCommand,  AddDecodeCommand, AddEventsCommand,
};

} // namespace

int RunCli(int argc, char** argv)
{
    // A reader that goes away must not kill the process before its summary: writes then fail instead.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"Headless companion of the alarm panel and monitoring centre simulator: a centre that "
                 "acknowledges, a panel that sends events and sweeps, a frame decoder.",
                 "veltrano-cli"};
    app.set_version_flag("--version", std::string("veltrano-cli ") + VELTRANO_VERSION);
    app.require_subcommand(1);
    app.fallthrough(false);
    CommandRunner chosen;
    for (const AddCommand add : COMMANDS)
        add(app, chosen);
    auto* completionCommand = AddCompletionCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        // --help, --help-all and --version: their text, and 0.
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return UsageError(std::string(e.what()) + " (see --help)");
    }
    if (completionCommand->parsed())
        return PrintCompletion(app);
    return chosen ? chosen() : UsageError("no command (see --help)");
}
