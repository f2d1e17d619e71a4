#include "cli/judging.h"

#include "cli/command_run.h"

using namespace veltrano;

void ReportVerdict(CommandRun& run, VerdictReport& report, Verdict verdict)
{
    AppendVerdictLine(run.Output().Buffer(), run.Output().Format(), report.Add(std::move(verdict)));
    run.Output().Written();
}
