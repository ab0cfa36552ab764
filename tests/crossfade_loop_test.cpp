#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "loops/loop_builders.hpp"

namespace sorvane {
namespace {

// Input frame i of a test signal: distinct and exactly representable values,
// negated and halved on the right so a channel swap shows.
double leftAt(std::size_t i) { return static_cast<double>(i + 1) / 64.0; }
double rightAt(std::size_t i) { return -static_cast<double>(i + 1) / 128.0; }

ChannelBuffer makeChannel(std::size_t n, double (*at)(std::size_t)) {
    ChannelBuffer b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = at(i);
    }
    return b;
}

TEST(CrossfadeLoop, WorkedExampleComesOutToTheLastBit) {
    ChannelBuffer left(16);
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = static_cast<double>(i) / 100.0;
    }
    const InterleavedBuffer out = buildCrossfadeLoop(left, ChannelBuffer(16, 0.0), 1, 25.0f);
    ASSERT_EQ(out.size(), 12u);
    for (std::size_t k = 0; k <= 8; ++k) {
        EXPECT_EQ(out[k], left[k + 4]) << "frame " << k;
    }
    EXPECT_EQ(out[9], 0.11758330047130586);
    EXPECT_EQ(out[10], 0.11313708305358887);
    EXPECT_EQ(out[11], 0.10098076164722442);
}

// Output length for a given input length and percentage: the single-precision
// factor makes several of these one frame longer than decimal arithmetic would.
struct LengthCase {
    std::size_t n;
    float percent;
    std::size_t outFrames;
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << "N=" << c.n << " p=" << c.percent; }

class CrossfadeLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(CrossfadeLength, DropsTheTruncatedHeadSection) {
    const LengthCase& c = GetParam();
    const ChannelBuffer left(c.n, 0.25);
    EXPECT_EQ(buildCrossfadeLoop(left, left, 2, c.percent).size(), 2 * c.outFrames);
    EXPECT_EQ(buildCrossfadeLoop(left, left, 1, c.percent).size(), c.outFrames);
}

INSTANTIATE_TEST_SUITE_P(Table, CrossfadeLength,
                         ::testing::Values(LengthCase{100, 15.0f, 86},
                                           LengthCase{44100, 15.0f, 37486},
                                           LengthCase{48000, 15.0f, 40801},
                                           LengthCase{10, 10.0f, 10}, LengthCase{10, 20.0f, 9},
                                           LengthCase{10, 50.0f, 5}, LengthCase{10, 80.0f, 3},
                                           LengthCase{10, 100.0f, 0}, LengthCase{16, 25.0f, 12},
                                           LengthCase{1, 99.0f, 1}, LengthCase{0, 50.0f, 0},
                                           LengthCase{0, 0.0f, 0}));

// Each output frame as body frame d and head frame h mixed at fade-in weight
// w, the weights as the single-precision values the blend must use.
struct BlendFrame {
    std::size_t body;
    std::size_t head;
    float w;
};

struct BlendCase {
    const char* name;
    std::size_t n;
    float percent;
    std::vector<BlendFrame> frames;
};

void PrintTo(const BlendCase& c, std::ostream* os) { *os << c.name; }

class CrossfadeBlend : public ::testing::TestWithParam<BlendCase> {};

TEST_P(CrossfadeBlend, MixesBodyAndHeadWithEqualPowerWeights) {
    const BlendCase& c = GetParam();
    const ChannelBuffer left = makeChannel(c.n, leftAt);
    const ChannelBuffer right = makeChannel(c.n, rightAt);
    const InterleavedBuffer out = buildCrossfadeLoop(left, right, 2, c.percent);
    ASSERT_EQ(out.size(), 2 * c.frames.size());
    for (std::size_t k = 0; k < c.frames.size(); ++k) {
        const BlendFrame& f = c.frames[k];
        const auto a = static_cast<double>(std::sqrt(f.w));
        const auto b = static_cast<double>(std::sqrt(1.0f - f.w));
        const double expectLeft = b * left[f.body] + a * left[f.head];
        const double expectRight = b * right[f.body] + a * right[f.head];
        EXPECT_EQ(out[2 * k], expectLeft) << "left of frame " << k;
        EXPECT_EQ(out[2 * k + 1], expectRight) << "right of frame " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CrossfadeBlend,
    ::testing::Values(
        BlendCase{"quarter",
                  16,
                  25.0f,
                  {{4, 8, 0}, {5, 9, 0}, {6, 10, 0}, {7, 11, 0}, {8, 12, 0}, {9, 13, 0},
                   {10, 14, 0}, {11, 15, 0}, {12, 0, 0}, {13, 1, 0.25f}, {14, 2, 0.5f},
                   {15, 3, 0.75f}}},
        // 20 % of 10 frames rounds just below 0.2: one frame dropped, not two.
        BlendCase{"fifth",
                  10,
                  20.0f,
                  {{1, 2, 0}, {2, 3, 0}, {3, 4, 0}, {4, 5, 0}, {5, 6, 0}, {6, 7, 0}, {7, 8, 0},
                   {8, 9, 0}, {9, 0, 0.4999999403953552f}}},
        BlendCase{"half",
                  10,
                  50.0f,
                  {{5, 0, 0},
                   {6, 1, 0.19999998807907104f},
                   {7, 2, 0.3999999761581421f},
                   {8, 3, 0.6000000238418579f},
                   {9, 4, 0.800000011920929f}}},
        // The span exceeds the output: every frame is blended, the first too.
        BlendCase{"eighty", 10, 80.0f, {{7, 4, 0.625f}, {8, 5, 0.75f}, {9, 6, 0.875f}}},
        // A span just under one frame blends nothing.
        BlendCase{"tenth",
                  10,
                  10.0f,
                  {{0, 0, 0}, {1, 1, 0}, {2, 2, 0}, {3, 3, 0}, {4, 4, 0}, {5, 5, 0}, {6, 6, 0},
                   {7, 7, 0}, {8, 8, 0}, {9, 9, 0}}}),
    [](const ::testing::TestParamInfo<BlendCase>& param) { return std::string(param.param.name); });

TEST(CrossfadeLoop, ZeroAndNegativeZeroPercentCopyTheInputHeldToFullScale) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const ChannelBuffer left{0.5, 1.5, -2.0, nan, inf, -inf, -0.25, 1.0};
    const ChannelBuffer right{-0.5, 0.125, 0.75, -1.0, 0.0, 0.375, 0.25, -0.75};
    const InterleavedBuffer held{0.5, -0.5, 1.0, 0.125, -1.0, 0.75, 1.0, -1.0,
                                 1.0, 0.0,  1.0, 0.375, -0.25, 0.25, 1.0, -0.75};
    // An infinity met with a weight of 0 makes a NaN sum, held to +1.0 like NaN.
    EXPECT_EQ(buildCrossfadeLoop(left, right, 2, 0.0f), held);
    EXPECT_EQ(buildCrossfadeLoop(left, right, 2, -0.0f), held);
}

TEST(CrossfadeLoop, HoldsBlendedSumsToFullScale) {
    const ChannelBuffer loud(16, 1.0);
    const ChannelBuffer quiet(16, -1.0);
    const InterleavedBuffer out = buildCrossfadeLoop(loud, quiet, 2, 25.0f);
    ASSERT_EQ(out.size(), 24u);
    for (std::size_t k = 0; k < 12; ++k) {
        EXPECT_EQ(out[2 * k], 1.0) << k;
        EXPECT_EQ(out[2 * k + 1], -1.0) << k;
    }
}

// The blend written out step by step, every frame through the division and
// both square roots, as a reference for the builder's shortcuts.
InterleavedBuffer referenceCrossfade(const ChannelBuffer& in, float percent) {
    const std::uint64_t n = in.size();
    const float x = percent * 0.01f;
    const auto f = static_cast<std::uint64_t>(static_cast<double>(x) * static_cast<double>(n));
    const std::uint64_t m = n - f;
    const float span = static_cast<float>(n) * x;
    InterleavedBuffer out(m);
    for (std::uint64_t k = 0; k < m; ++k) {
        float w = 1.0f - static_cast<float>(m - k) / span;
        w = w < 0.0f ? 0.0f : (w > 1.0f ? 1.0f : w);
        const auto a = static_cast<double>(std::sqrt(w));
        const auto b = static_cast<double>(std::sqrt(1.0f - w));
        double v = b * in[f + k] + a * in[(2 * f + k) % n];
        v = !(v < 1.0) ? 1.0 : v;
        out[k] = !(v > -1.0) ? -1.0 : v;
    }
    return out;
}

TEST(CrossfadeLoop, MatchesTheStepByStepBlendForManyLengthsAndPercentages) {
    const float percents[] = {0.0f, -0.0f, 0.5f, 1.0f, 10.0f, 15.0f, 33.3f, 50.0f, 66.7f, 80.0f, 99.9f, 100.0f};
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 64; ++n) {
        lengths.push_back(n);
    }
    lengths.insert(lengths.end(), {1000, 4097, 44100});
    for (const std::size_t n : lengths) {
        ChannelBuffer in(n);
        for (std::size_t i = 0; i < n; ++i) {
            in[i] = 0.9 * std::sin(static_cast<double>(i) * 0.37) + 0.3 * std::cos(static_cast<double>(i) * 0.011);
        }
        for (const float p : percents) {
            const InterleavedBuffer got = buildCrossfadeLoop(in, in, 1, p);
            const InterleavedBuffer want = referenceCrossfade(in, p);
            ASSERT_EQ(got.size(), want.size()) << "N=" << n << " p=" << p;
            for (std::size_t k = 0; k < got.size(); ++k) {
                ASSERT_EQ(std::memcmp(&got[k], &want[k], sizeof(double)), 0) << "N=" << n << " p=" << p << " k=" << k;
            }
        }
    }
}

TEST(CrossfadeLoop, MonoNeverReadsTheRightBuffer) {
    const ChannelBuffer left = makeChannel(40, leftAt);
    const ChannelBuffer noRight; // reading it would be out of bounds
    const InterleavedBuffer mono = buildCrossfadeLoop(left, noRight, 1, 30.0f);
    const InterleavedBuffer stereo = buildCrossfadeLoop(left, left, 2, 30.0f);
    // 30 % of 40 frames drops 11, not 12: the factor is just below 0.3.
    ASSERT_EQ(mono.size(), 29u);
    ASSERT_EQ(stereo.size(), 58u);
    for (std::size_t k = 0; k < mono.size(); ++k) {
        EXPECT_EQ(mono[k], stereo[2 * k]) << k;
    }
}

} // namespace
} // namespace sorvane
