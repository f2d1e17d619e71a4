// Arbitrary text through the fault rule parser, a parsed rule through the engine with a datagram made of the
// same bytes, and the same text as a control request through its reader and the rules API. Nothing may
// crash; a rule that parses must parse again from its own text to the same rule.
#include "link/fault_engine.h"
#include "link/rules_control.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace veltrano;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto rules = ParseFaultRules(text);
    if (!rules && rules.error().empty())
        std::abort();

    FaultEngine engine(size);
    if (rules) {
        for (const auto& rule : *rules) {
            const auto again = ParseFaultRule(rule.text);
            if (!again || again->text != rule.text || again->action != rule.action)
                std::abort();
            engine.Add(rule);
        }
    }
    const std::span<const std::uint8_t> bytes(data, std::min<std::size_t>(size, 128));
    const DecodedFrame decoded = DecodeFrame(bytes);
    const MonoTime now{};
    for (const bool up : {true, false}) {
        engine.Submit({up, 1, {LOOPBACK_ADDRESS, 8015}, bytes, &decoded, {}}, now);
        engine.Release(now + std::chrono::hours(2));
        engine.Ready().clear();
    }

    const ControlReading reading = ReadControlRequest(text);
    if (reading.request)
        (void)FormatControlAnswer(AnswerControlRequest(engine, *reading.request, 2));
    else if (reading.refusal)
        (void)FormatControlAnswer(*reading.refusal);
    return 0;
}
