#include "cli/completion.h"

#include "cli/command_run.h"
#include "sim/event_catalogue.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <string_view>
#include <vector>

using namespace veltrano;

namespace {

std::string Joined(const std::vector<std::string>& words, std::string_view separator = " ")
{
    return fmt::format("{}", fmt::join(words, separator));
}

bool TakesFile(const CLI::Option& option)
{
    return option.get_type_name().find("FILE") != std::string::npos ||
           (option.get_positional() && option.get_single_name() == "FILE");
}

std::vector<std::string> OptionNames(const CLI::Option& option)
{
    std::vector<std::string> names;
    for (const std::string& name : option.get_snames())
        names.push_back("-" + name);
    for (const std::string& name : option.get_lnames())
        names.push_back("--" + name);
    return names;
}

// The visible subcommands: the hidden ones have no group.
std::vector<const CLI::App*> Commands(const CLI::App& app)
{
    return app.get_subcommands([](const CLI::App* command) { return !command->get_group().empty(); });
}

// The case branch of one subcommand: the value an option wants, else its options, else its positional.
std::string CommandBranch(const CLI::App& command)
{
    std::vector<std::string> options;
    std::vector<std::string> fileOptions;
    std::vector<std::string> valueOptions;
    std::string positional; // the words of the first positional, as compgen arguments
    for (const CLI::Option* option : command.get_options()) {
        if (option->get_positional() && !option->nonpositional()) {
            if (!positional.empty())
                continue;
            if (option->get_single_name() == "EVENT") {
                std::vector<std::string> keys;
                for (const EventRow& row : EVENT_CATALOGUE)
                    keys.emplace_back(row.key);
                positional = "-W \"" + Joined(keys) + "\"";
            } else if (TakesFile(*option)) {
                positional = "-f";
            }
            continue;
        }
        const std::vector<std::string> names = OptionNames(*option);
        options.insert(options.end(), names.begin(), names.end());
        if (option->get_expected_min() == 0)
            continue; // a flag
        auto& takers = TakesFile(*option) ? fileOptions : valueOptions;
        takers.insert(takers.end(), names.begin(), names.end());
    }

    std::string branch = "    " + command.get_name() + ")\n        case $prev in\n";
    if (!fileOptions.empty())
        branch += "            " + Joined(fileOptions, "|") + ") _veltrano_cli_files; return ;;\n";
    if (!valueOptions.empty())
        branch += "            " + Joined(valueOptions, "|") + ") return ;;\n";
    branch += "        esac\n";
    branch += "        if [[ $cur == -* ]]; then\n            COMPREPLY=($(compgen -W \"" + Joined(options) +
              "\" -- \"$cur\"))\n";
    if (positional == "-f")
        branch += "        else\n            _veltrano_cli_files\n";
    else if (!positional.empty())
        branch += "        else\n            COMPREPLY=($(compgen " + positional + " -- \"$cur\"))\n";
    branch += "        fi\n        ;;\n";
    return branch;
}

} // namespace

CLI::App* AddCompletionCommand(CLI::App& app)
{
    auto* command = app.add_subcommand("completion", "Print a completion script for SHELL (bash)");
    command->group("");
    command->add_option("SHELL", "Only bash")->required()->check(CLI::IsMember({"bash"}));
    return command;
}

std::string BashCompletion(const CLI::App& app)
{
    const std::string program = app.get_name();
    std::vector<std::string> commands;
    for (const CLI::App* command : Commands(app))
        commands.push_back(command->get_name());
    std::vector<std::string> topOptions;
    for (const CLI::Option* option : app.get_options()) {
        const std::vector<std::string> names = OptionNames(*option);
        topOptions.insert(topOptions.end(), names.begin(), names.end());
    }

    std::string script =
        "# bash completion for " + program + "; written by `" + program + " completion bash`.\n";
    script += "_veltrano_cli_files()\n{\n    compopt -o filenames 2>/dev/null\n"
              "    COMPREPLY=($(compgen -f -- \"$cur\"))\n}\n\n";
    script += "_veltrano_cli()\n{\n"
              "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command=\"\" i\n"
              "    COMPREPLY=()\n"
              "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
              "        case ${COMP_WORDS[i]} in\n"
              "            " +
              Joined(commands, "|") +
              ") command=${COMP_WORDS[i]}; break ;;\n"
              "        esac\n"
              "    done\n"
              "    case $command in\n"
              "    \"\")\n"
              "        COMPREPLY=($(compgen -W \"" +
              Joined(commands) + " " + Joined(topOptions) +
              "\" -- \"$cur\"))\n"
              "        ;;\n";
    for (const CLI::App* command : Commands(app))
        script += CommandBranch(*command);
    script += "    esac\n}\ncomplete -F _veltrano_cli " + program + "\n";
    return script;
}

int PrintCompletion(const CLI::App& app)
{
    const std::string script = BashCompletion(app);
    const bool written = std::fwrite(script.data(), 1, script.size(), stdout) == script.size();
    return written && std::fflush(stdout) == 0 ? EXIT_OK : EXIT_IO;
}
