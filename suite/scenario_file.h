#pragma once

#include "protocol/result.h"
#include "suite/scenario.h"

#include <span>
#include <string>

namespace veltrano {

// Larger files are no scenario anyone wrote by hand; refused before YAML sees them.
inline constexpr std::size_t MAX_SCENARIO_FILE_BYTES = 16 << 20;

// The scenario in the file at `path`, with the --var values given as "NAME=VALUE"; the reason, one line,
// when a value is no NAME=VALUE, the file cannot be read or is too large, or ParseScenario refuses it.
[[nodiscard]] Result<Scenario> ReadScenarioFile(const std::string& path, std::span<const std::string> vars);

} // namespace veltrano
