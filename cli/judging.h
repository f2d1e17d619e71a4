#pragma once

#include "cli/verdict.h"

#include <string>

class CommandRun;

// The verdict's line on the run's output, and the verdict in the report.
void ReportVerdict(CommandRun& run, VerdictReport& report, veltrano::Verdict verdict);
