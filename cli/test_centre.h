#pragma once

#include "cli/command.h"

#include "protocol/result.h"

#include <span>
#include <string>
#include <vector>
#include <string_view>

// `test` with its two suites: `test centre` judges a centre under test by the centre rule, `test panel`
// is a centre that judges the panel talking to it. Each case has a fixed id.
void AddTestCommand(CLI::App& app, CommandRunner& chosen);

// The ids of `test centre`, in the order the cases run.
std::span<const std::string_view> CentreCaseIds();

// Which cases of `ids` run: every one, or those of --only, less those of --skip. An unknown id is the reason.
Result<std::vector<bool>> ChooseTestCases(std::span<const std::string_view> ids, const std::vector<std::string>& only,
                                          const std::vector<std::string>& skip);
