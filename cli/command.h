#pragma once

#include <functional>

namespace CLI {
class App;
}

// How a subcommand joins the companion: one function per subcommand declares its options on the app and,
// when the command line chooses it, sets `chosen` to what runs it and gives the exit status.
using CommandRunner = std::function<int()>;
using AddCommand = void (*)(CLI::App& app, CommandRunner& chosen);
