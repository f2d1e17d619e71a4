#pragma once

// The whole companion: parses the command line, runs the subcommand, returns the exit status. Expects a
// QCoreApplication for the subcommands that talk to the network.
int RunCli(int argc, char** argv);
