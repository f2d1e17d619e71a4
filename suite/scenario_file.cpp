#include "suite/scenario_file.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace veltrano {

namespace {

Result<std::string> ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Failure(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
    std::ostringstream text;
    text << in.rdbuf();
    if (!in.good() && !in.eof())
        return Failure(fmt::format("cannot read {}", path));
    if (static_cast<std::size_t>(text.tellp()) > MAX_SCENARIO_FILE_BYTES)
        return Failure(fmt::format("{}: larger than {} bytes", path, MAX_SCENARIO_FILE_BYTES));
    return text.str();
}

Result<std::map<std::string, std::string>> ParseVars(std::span<const std::string> given)
{
    std::map<std::string, std::string> vars;
    for (const std::string& text : given) {
        const auto equals = text.find('=');
        if (equals == std::string::npos || equals == 0)
            return Failure(fmt::format("--var {}: NAME=VALUE", text));
        vars[text.substr(0, equals)] = text.substr(equals + 1);
    }
    return vars;
}

} // namespace

Result<Scenario> ReadScenarioFile(const std::string& path, std::span<const std::string> vars)
{
    auto parsed = ParseVars(vars);
    if (!parsed)
        return Failure(parsed.error());
    auto text = ReadText(path);
    if (!text)
        return Failure(text.error());
    return ParseScenario(*text, path, *parsed);
}

} // namespace veltrano
