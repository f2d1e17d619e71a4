#include "link/rate_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <variant>

using namespace veltrano;

namespace {

TEST(RateText, ARateIsMaxOrAPositiveNumberUpToTheLimit)
{
    struct Case
    {
        const char* name;
        const char* text;
        bool good;
        std::optional<double> rate;
    };
    // clang-format off
    const Case cases[] = {
        {"max: no rate",              "max",       true,  std::nullopt},
        {"a whole number",            "250",       true,  250.0},
        {"a fraction",                "0.5",       true,  0.5},
        {"the limit itself",          "1000000",   true,  1'000'000.0},
        {"past the limit",            "1000001",   false, std::nullopt},
        {"zero",                      "0",         false, std::nullopt},
        {"negative",                  "-3",        false, std::nullopt},
        {"empty",                     "",          false, std::nullopt},
        {"trailing text",             "10fps",     false, std::nullopt},
        {"not finite",                "inf",       false, std::nullopt},
        {"upper case max",            "MAX",       false, std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto rate = ParseRate(c.text);
        ASSERT_EQ(rate.has_value(), c.good) << c.name;
        if (c.good)
            EXPECT_EQ(*rate, c.rate) << c.name;
        else
            EXPECT_NE(rate.error().find("is not \"max\""), std::string::npos) << c.name;
    }
}

TEST(RateText, ThePaceFollowsTheRateTextTheWindowAndTheSpeed)
{
    enum class Kind
    {
        Rate,
        Window,
        Gaps,
        Refused
    };
    struct Case
    {
        const char* name;
        const char* rateText;
        std::uint64_t window;
        double speed;
        Kind kind;
        double value; // the rate, the window or the speed
        std::optional<double> gapSpeed;
    };
    // clang-format off
    const Case cases[] = {
        {"a rate paces by elapsed time",   "20",  16, 3.0, Kind::Rate,    20,  std::nullopt},
        {"max waits within the window",    "max", 64, 3.0, Kind::Window,  64,  std::nullopt},
        {"no rate keeps the captured gaps", "",   16, 2.5, Kind::Gaps,    2.5, 2.5},
        {"a bad rate is refused",          "0",   16, 1.0, Kind::Refused, 0,   std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto pace = PaceOf(c.rateText, c.window, c.speed);
        ASSERT_EQ(pace.has_value(), c.kind != Kind::Refused) << c.name;
        if (!pace)
            continue;
        switch (c.kind) {
        case Kind::Rate:
            EXPECT_EQ(std::get<Pacer::Rate>(*pace).perSecond, c.value) << c.name;
            break;
        case Kind::Window:
            EXPECT_EQ(std::get<Pacer::Window>(*pace).frames, static_cast<std::uint64_t>(c.value)) << c.name;
            break;
        case Kind::Gaps:
            EXPECT_EQ(std::get<Pacer::CapturedGaps>(*pace).speed, c.value) << c.name;
            break;
        case Kind::Refused:
            break;
        }
        EXPECT_EQ(GapSpeed(*pace), c.gapSpeed) << c.name;
    }
}

} // namespace
