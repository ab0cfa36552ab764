#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "sorvane/run.hpp"

namespace sorvane {
namespace {

struct ModeCase {
    const char* keyword;
    std::optional<LoopMode> mode;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << '"' << c.keyword << '"'; }

class ParseLoopMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ParseLoopMode, MatchesWholeKeywordIgnoringCase) {
    EXPECT_EQ(parseLoopMode(GetParam().keyword), GetParam().mode) << GetParam().keyword;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseLoopMode,
    ::testing::Values(ModeCase{"CROSSFADE", LoopMode::Crossfade},
                      ModeCase{"crossFade", LoopMode::Crossfade},
                      ModeCase{"PINGPONG", LoopMode::PingPong}, ModeCase{"PingPong", LoopMode::PingPong},
                      ModeCase{"pingpong", LoopMode::PingPong},
                      ModeCase{"ZeroCrossing", LoopMode::ZeroCrossing},
                      ModeCase{"ping-pong", std::nullopt}, ModeCase{" pingpong", std::nullopt},
                      ModeCase{"pingpong ", std::nullopt}, ModeCase{"ping", std::nullopt},
                      ModeCase{"pingpongs", std::nullopt}, ModeCase{"", std::nullopt},
                      // Only ASCII letters fold: a Latin-1 capital stays what it is.
                      ModeCase{"PINGPON\xC7", std::nullopt}));

struct PercentCase {
    const char* text;
    std::optional<float> value;
};

void PrintTo(const PercentCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ParseCrossfadePercent : public ::testing::TestWithParam<PercentCase> {};

TEST_P(ParseCrossfadePercent, AcceptsWholeNumbersFromZeroToHundred) {
    EXPECT_EQ(parseCrossfadePercent(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseCrossfadePercent,
    ::testing::Values(PercentCase{"0", 0.0f}, PercentCase{"100", 100.0f}, PercentCase{"1e2", 100.0f},
                      PercentCase{" 50", 50.0f}, PercentCase{"+12.5", 12.5f},
                      PercentCase{"0x1p4", 16.0f}, PercentCase{"15", 15.0f},
                      PercentCase{"-1", std::nullopt}, PercentCase{"100.5", std::nullopt},
                      PercentCase{"15%", std::nullopt}, PercentCase{"abc", std::nullopt},
                      PercentCase{"50 ", std::nullopt}, PercentCase{"", std::nullopt},
                      PercentCase{"nan", std::nullopt}, PercentCase{"1e60", std::nullopt},
                      PercentCase{"inf", std::nullopt}, PercentCase{"-inf", std::nullopt},
                      PercentCase{"1e-60", std::nullopt}, PercentCase{"50,5", std::nullopt}));

TEST(ParseCrossfadePercentSign, NegativeZeroKeepsItsSign) {
    const std::optional<float> value = parseCrossfadePercent("-0");
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, 0.0f);
    EXPECT_TRUE(std::signbit(*value));
}

TEST(RunSorvane, EmptyArgumentVectorGetsTheUsageWithTheProgramsOwnName) {
    const char* const none[] = {nullptr};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runSorvane(0, none, out, err), 1);
    EXPECT_EQ(err.str(), "Sorvane generator by Kettrick.\nUsage: sorvane <input audio file> <output audio file> "
                         "<CROSSFADE|PINGPONG|ZEROCROSSING> [crossfade length percent]\n");
}

} // namespace
} // namespace sorvane
