#pragma once

#include "cli/fuzz_run.h"

#include <cstdint>
#include <string>

// The two sides of `fuzz`, each run from its options to the exit status.

struct FuzzCentreOptions
{
    std::string to;
    std::string fromCapture;
    std::uint64_t probeEvery{50};
    double probeTimeoutS{0.5};
    int probeRetries{3};
    std::string rate{"1000"};
    std::uint64_t cases{0};
    FuzzOptions common;
};
int RunFuzzCentre(const FuzzCentreOptions& options);

struct FuzzPanelOptions
{
    std::uint16_t port{0};
    std::string bind{"127.0.0.1"};
    double silenceS{5};
    int lateMs{2000};
    FuzzOptions common;
};
int RunFuzzPanel(const FuzzPanelOptions& options);
