#include "cli/judging.h"

#include "cli/run.h"

void ReportVerdict(Run& run, VerdictReport& report, Verdict verdict)
{
    AppendVerdictLine(run.Output().Buffer(), run.Output().Jsonl(), report.Add(std::move(verdict)));
    run.Output().Written();
}

int FinishReport(const VerdictReport& report, const std::string& junit, int code)
{
    if (junit.empty())
        return code;
    if (auto written = report.WriteJunit(junit); !written) {
        PrintError(written.error());
        return EXIT_SOCKET;
    }
    return code;
}
