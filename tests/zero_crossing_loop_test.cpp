#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "loops/loop_builders.hpp"

namespace sorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct MonoCase {
    const char* name;
    ChannelBuffer input;
    InterleavedBuffer expected;
};

void PrintTo(const MonoCase& c, std::ostream* os) { *os << c.name; }

class ZeroCrossingMono : public ::testing::TestWithParam<MonoCase> {};

TEST_P(ZeroCrossingMono, CutsFromFirstToLastRisingCrossing) {
    const MonoCase& c = GetParam();
    const ChannelBuffer noRight; // mono must never read it
    EXPECT_EQ(buildZeroCrossingLoop(c.input, noRight, 1), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ZeroCrossingMono,
    ::testing::Values(
        MonoCase{"empty", {}, {}}, MonoCase{"oneFrame", {-1.0}, {}},
        MonoCase{"oneRise", {-1.0, 1.0}, {-1.0}}, MonoCase{"fallOnly", {1.0, -1.0}, {}},
        MonoCase{"riseToZero", {-1.0, 0.0}, {-1.0}}, MonoCase{"zeroIsNotNegative", {0.0, 1.0}, {}},
        MonoCase{"negativeZeroIsNotNegative", {-0.0, 1.0}, {}},
        MonoCase{"nanBreaksPair", {-1.0, kNaN, 1.0}, {}},
        MonoCase{"nanBeforeRise", {-1.0, kNaN, -1.0, 1.0}, {-1.0}},
        MonoCase{"worked",
                 {0.5, -0.25, 0.25, -0.125, -0.5, 0.0, 0.75, -0.25},
                 {-0.25, 0.25, -0.125, -0.5}},
        // Crossings in between change nothing; the last input frame never appears.
        MonoCase{"manyCrossings",
                 {-0.1, 0.1, -0.2, 0.2, -0.3, 0.3, -0.4, 0.4},
                 {-0.1, 0.1, -0.2, 0.2, -0.3, 0.3, -0.4}}),
    [](const ::testing::TestParamInfo<MonoCase>& param) { return std::string(param.param.name); });

TEST(ZeroCrossingLoop, StereoFindsCrossingsOfTheChannelSumOnly) {
    const ChannelBuffer left{0.25, -0.5, 0.125, 0.5, -0.375, 0.25};
    const ChannelBuffer right{-0.5, 0.125, 0.25, -0.75, 0.125, 0.5};
    EXPECT_EQ(buildZeroCrossingLoop(left, right, 2),
              (InterleavedBuffer{-0.5, 0.125, 0.125, 0.25, 0.5, -0.75, -0.375, 0.125}));
}

TEST(ZeroCrossingLoop, CancellingChannelsNeverCross) {
    ChannelBuffer left(64);
    ChannelBuffer right(64);
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = (i % 4 < 2) ? -0.5 : 0.5;
        right[i] = -left[i];
    }
    EXPECT_TRUE(buildZeroCrossingLoop(left, right, 2).empty());
    EXPECT_FALSE(buildZeroCrossingLoop(left, right, 1).empty());
}

} // namespace
} // namespace sorvane
