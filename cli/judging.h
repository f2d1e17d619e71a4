#pragma once

#include "cli/verdict.h"

#include <string>

class Run;

// The verdict's line on the run's output, and the verdict in the report.
void ReportVerdict(Run& run, VerdictReport& report, Verdict verdict);
// The exit status a judging run ends with: `code`, unless the JUnit file (when one is asked for) cannot be
// written: then EXIT_SOCKET, the reason on stderr.
int FinishReport(const VerdictReport& report, const std::string& junit, int code);
