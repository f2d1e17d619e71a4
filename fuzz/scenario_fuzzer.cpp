#include "suite/scenario.h"

#include <cstdlib>
#include <regex>
#include <string_view>

using namespace veltrano;

// Arbitrary bytes as a scenario file: the reader never crashes, and every file it refuses gets a place.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto scenario = ParseScenario(text, "f.yaml");
    static const std::regex POSITIONED("^f\\.yaml:[0-9]+:[0-9]+: [^\\n]+$");
    if (!scenario && !std::regex_match(scenario.error(), POSITIONED))
        std::abort();
    return 0;
}
