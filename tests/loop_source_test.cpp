// The loop written block by block is the loop built whole, to the bit, for
// any block size and every mode.
#include <cmath>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "loops/loop_mode.hpp"

namespace sorvane {
namespace {

TEST(LoopSource, BlocksOfAnySizeMakeTheWholeLoop) {
    // Different signals per channel, with a crossing the zero-crossing mode
    // can cut at, and values beyond full scale for the crossfade to hold.
    ChannelBuffer left(5003);
    ChannelBuffer right(5003);
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = 1.3 * std::sin(static_cast<double>(i) * 0.013);
        right[i] = 0.7 * std::cos(static_cast<double>(i) * 0.029) - 0.1;
    }
    for (const LoopModeInfo& mode : kLoopModes) {
        for (const std::int32_t channels : {1, 2}) {
            for (const float percent : {15.0f, 33.3f, 100.0f, -0.0f}) {
                const std::unique_ptr<LoopSource> loop = makeLoop(mode.mode, left, right, channels, percent);
                ASSERT_TRUE(loop);
                const InterleavedBuffer whole = wholeLoop(*loop);
                ASSERT_EQ(whole.size(), loop->frames() * static_cast<std::size_t>(channels));
                for (const std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
                    InterleavedBuffer pieced(whole.size());
                    for (std::uint64_t first = 0; first < loop->frames(); first += block) {
                        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(block, loop->frames() - first));
                        loop->fill(first, count, pieced.data() + first * static_cast<std::size_t>(channels));
                    }
                    EXPECT_TRUE(whole.empty() ||
                                std::memcmp(pieced.data(), whole.data(), whole.size() * sizeof(double)) == 0)
                        << mode.keyword << ", " << channels << " channel(s), " << percent << " %, blocks of "
                        << block;
                }
            }
        }
    }
}

TEST(LoopMode, OnlyAZeroCrossingLoopOfNothingIsAFailure) {
    const ChannelBuffer oneSided(100, 0.5);
    for (const LoopModeInfo& mode : kLoopModes) {
        const std::unique_ptr<LoopSource> loop = makeLoop(mode.mode, oneSided, oneSided, 2, 100.0f);
        EXPECT_EQ(loop == nullptr, mode.mode == LoopMode::ZeroCrossing) << mode.keyword;
        EXPECT_EQ(parseLoopMode(std::string(mode.keyword)), mode.mode);
    }
}

} // namespace
} // namespace sorvane
