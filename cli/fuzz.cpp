#include "cli/fuzz.h"

#include "cli/common_options.h"
#include "cli/fuzz_sides.h"
#include "link/rate_text.h"

#include <memory>

void AddFuzzCommand(CLI::App& app, CommandRunner& chosen)
{
    auto* fuzz = app.add_subcommand("fuzz", "Hunt the faults of a centre or a panel with mutated frames");
    fuzz->require_subcommand(1);
    auto o = std::make_shared<FuzzCentreOptions>();
    auto* centre =
        fuzz->add_subcommand("centre", "Send mutated frames to the centre at HOST:PORT and watch it");
    AddToOption(centre, o->to, "The centre under test");
    AddTypedOption(centre, "--from-capture", o->fromCapture, "Mutate the frames of this pcap or pcapng file",
                   "FILE");
    AddCheckedOption(centre, "--probe-every", o->probeEvery, "Cases between two probes", "N",
                     CLI::Range(std::uint64_t{1}, std::uint64_t{1'000'000}), ShownDefault::Yes);
    AddCheckedOption(centre, "--probe-timeout", o->probeTimeoutS, "Seconds a probe waits for its answer", "S",
                     CLI::Range(0.001, 60.0), ShownDefault::Yes);
    AddCheckedOption(centre, "--probe-retries", o->probeRetries, "Resends of an unanswered probe", "N",
                     CLI::Range(0, 100), ShownDefault::Yes);
    AddCheckedOption(centre, "--rate", o->rate, "Cases per second, or max", "R|max", RateValidator(),
                     ShownDefault::Yes);
    AddTypedOption(centre, "--cases", o->cases, "End after N cases (0: no bound)", "N");
    AddFuzzOptions(centre, o->common, "Seconds a suspect target is probed on");
    centre->callback([o, &chosen] { chosen = [o] { return RunFuzzCentre(*o); }; });

    auto p = std::make_shared<FuzzPanelOptions>();
    auto* panel = fuzz->add_subcommand("panel", "Listen as a centre and answer a panel with mutated answers");
    AddListenOptions(panel, p->port, p->bind, "UDP port the panel sends to (0: one the system picks)");
    AddCheckedOption(panel, "--silence", p->silenceS, "Seconds the panel may go without sending", "S",
                     CLI::Range(0.001, 3600.0), ShownDefault::Yes);
    AddCheckedOption(panel, "--late", p->lateMs, "Milliseconds a late answer waits", "MS",
                     CLI::Range(0, 3'600'000), ShownDefault::Yes);
    AddFuzzOptions(panel, p->common, "Seconds a silent panel is waited for");
    panel->callback([p, &chosen] { chosen = [p] { return RunFuzzPanel(*p); }; });
}
