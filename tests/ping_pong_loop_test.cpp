#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "loops/loop_builders.hpp"

namespace sorvane {
namespace {

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(PingPongLoop, StereoPlaysForwardsThenBackwardsWithChannelsKept) {
    const ChannelBuffer left{0.1, 0.2, 0.3, 0.4};
    const ChannelBuffer right{-0.1, -0.2, -0.3, -0.4};
    const InterleavedBuffer expected{0.1, -0.1, 0.2, -0.2, 0.3, -0.3, 0.4, -0.4,
                                     0.4, -0.4, 0.3, -0.3, 0.2, -0.2, 0.1, -0.1};
    EXPECT_EQ(buildPingPongLoop(left, right, 2), expected);
}

TEST(PingPongLoop, MonoNeverReadsTheRightBuffer) {
    const ChannelBuffer noRight; // reading it would be out of bounds
    EXPECT_EQ(buildPingPongLoop({0.25, 0.5, 0.75}, noRight, 1),
              (InterleavedBuffer{0.25, 0.5, 0.75, 0.75, 0.5, 0.25}));
}

TEST(PingPongLoop, ShortInputs) {
    EXPECT_TRUE(buildPingPongLoop({}, {}, 2).empty());
    EXPECT_TRUE(buildPingPongLoop({}, {}, 1).empty());
    EXPECT_EQ(buildPingPongLoop({0.5}, {-0.25}, 2), (InterleavedBuffer{0.5, -0.25, 0.5, -0.25}));
}

TEST(PingPongLoop, CopiesSpecialValuesBitForBit) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const ChannelBuffer left{-0.0, inf, 4.0};
    const ChannelBuffer right{nan, -inf, -3.0};
    const InterleavedBuffer out = buildPingPongLoop(left, right, 2);
    const ChannelBuffer order{0, 1, 2, 2, 1, 0};
    ASSERT_EQ(out.size(), 12u);
    for (std::size_t f = 0; f < 6; ++f) {
        const auto i = static_cast<std::size_t>(order[f]);
        EXPECT_TRUE(sameBits(out[2 * f], left[i])) << f;
        EXPECT_TRUE(sameBits(out[2 * f + 1], right[i])) << f;
    }
}

} // namespace
} // namespace sorvane
