#include <cmath>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "loops/loop_builders.hpp"
#include "seam/seam.hpp"

namespace sorvane {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// A tone with a little noise, as a recording would have.
ChannelBuffer noisyTone(std::size_t frames, double cyclesPerFrame, std::uint64_t seed) {
    ChannelBuffer out(frames);
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < frames; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double noise = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
        out[i] = 0.5 * std::sin(kTwoPi * cyclesPerFrame * static_cast<double>(i)) + 0.04 * noise;
    }
    return out;
}

// A sine that starts at zero and is cut on its peak: the hard-cut loop.
ChannelBuffer sineCutAtPeak() {
    const std::size_t frames = 100 * 40 + 11; // 100 cycles of 40 frames, ending a quarter cycle in
    ChannelBuffer out(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        out[i] = 0.8 * std::sin(kTwoPi * static_cast<double>(i) / 40.0);
    }
    return out;
}

TEST(Seam, CrossfadedAndZeroCrossingLoopsOfANoisyToneJudgeSmooth) {
    // One tone in both channels, each with its own noise: the sum's zero
    // crossings are then the channels' too.
    const ChannelBuffer left = noisyTone(44100, 220.0 / 44100.0, 1);
    const ChannelBuffer right = noisyTone(44100, 220.0 / 44100.0, 2);
    const InterleavedBuffer loops[] = {buildCrossfadeLoop(left, right, 2, 15.0f),
                                       buildZeroCrossingLoop(left, right, 2)};
    for (const InterleavedBuffer& loop : loops) {
        ChannelBuffer l;
        ChannelBuffer r;
        for (std::size_t i = 0; i + 1 < loop.size(); i += 2) {
            l.push_back(loop[i]);
            r.push_back(loop[i + 1]);
        }
        const SeamReport report = analyseSeam(l, r, 2, 441);
        ASSERT_EQ(report.channels.size(), 2u);
        EXPECT_FALSE(report.likelyClick) << report.channels[0].seamRelativeDb << " "
                                         << report.channels[1].seamRelativeDb;
    }
}

TEST(Seam, ASineCutAtItsPeakJudgesClick) {
    const SeamReport report = analyseSeam(sineCutAtPeak(), {}, 1, 441);
    ASSERT_EQ(report.channels.size(), 1u);
    EXPECT_TRUE(report.likelyClick);
    EXPECT_GT(report.channels[0].seamRelativeDb, 12.0);
}

TEST(Seam, StereoIsJudgedPerChannel) {
    const ChannelBuffer cut = sineCutAtPeak();
    const ChannelBuffer tone = noisyTone(cut.size() + cut.size() / 5, 0.01, 3);
    const InterleavedBuffer faded = buildCrossfadeLoop(tone, tone, 1, 16.666666f);
    const ChannelBuffer smooth(faded.begin(), faded.begin() + static_cast<std::ptrdiff_t>(cut.size()));
    ASSERT_EQ(smooth.size(), cut.size());
    for (const bool cutOnLeft : {true, false}) {
        const SeamReport report = cutOnLeft ? analyseSeam(cut, smooth, 2, 441) : analyseSeam(smooth, cut, 2, 441);
        ASSERT_EQ(report.channels.size(), 2u);
        EXPECT_EQ(report.channels[0].likelyClick, cutOnLeft);
        EXPECT_EQ(report.channels[1].likelyClick, !cutOnLeft);
        EXPECT_TRUE(report.likelyClick);
    }
}

TEST(Seam, NumbersOfATinyLoop) {
    // Steps 0.125, 0.25, 0.125, 0, 0.25: median 0.125 and 99th percentile
    // 0.25 by nearest rank; the seam jumps from 0.25 back to 0.
    const SeamReport report = analyseSeam({0.0, 0.125, 0.375, 0.5, 0.5, 0.25}, {}, 1, 441);
    const ChannelSeam& seam = report.channels.at(0);
    EXPECT_EQ(seam.seamStep, -0.25);
    EXPECT_EQ(seam.medianStep, 0.125);
    EXPECT_EQ(seam.percentile99Step, 0.25);
    EXPECT_EQ(seam.seamRelativeDb, 0.0);
    EXPECT_FALSE(seam.likelyClick);
}

struct EdgeCase {
    const char* name;
    ChannelBuffer samples;
    bool click;
};

ChannelBuffer withLast(ChannelBuffer samples, double last) {
    samples.back() = last;
    return samples;
}

void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.name; }

class SeamEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(SeamEdges, Verdict) {
    EXPECT_EQ(analyseSeam(GetParam().samples, {}, 1, 441).likelyClick, GetParam().click);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SeamEdges,
    ::testing::Values(EdgeCase{"silence", ChannelBuffer(100, 0.0), false},
                      EdgeCase{"constant", ChannelBuffer(100, 0.5), false},
                      // Exactly twice the 99th percentile is still smooth.
                      EdgeCase{"atTheThreshold", {0.0, 0.25, 0.5, 0.75, 1.0, 0.75, 0.5}, false},
                      EdgeCase{"justOverTheThreshold", {0.0, 0.25, 0.5, 0.75, 1.0, 0.75, 0.5, 0.5 + 1e-9}, true},
                      // A step from silence: large against a flat file, but inaudible.
                      EdgeCase{"belowOneSixteenBitStep", {0.0, 0.0, 0.0, 1e-6}, false},
                      EdgeCase{"stepFromSilence", withLast(ChannelBuffer(200, 0.0), 0.01), true},
                      EdgeCase{"twoFrames", {0.5, -0.5}, false}),
    [](const ::testing::TestParamInfo<EdgeCase>& param) { return std::string(param.param.name); });

TEST(SeamPicture, HasALanePerChannelAndTheSeamMarked) {
    const ChannelBuffer left = noisyTone(4410, 0.01, 4);
    const ChannelBuffer right = noisyTone(4410, 0.02, 5);
    const std::string stereo = renderSeamSvg(left, right, 2, 44100, "a & b <loop>.wav");
    const std::string mono = renderSeamSvg(left, right, 1, 44100, "mono.wav");
    auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count(stereo, "class=\"lane\""), 2u);
    EXPECT_EQ(count(mono, "class=\"lane\""), 1u);
    EXPECT_EQ(count(stereo, "class=\"seam\""), 1u);
    EXPECT_EQ(count(stereo, "<polyline"), 2u);
    EXPECT_NE(stereo.find("a &amp; b &lt;loop&gt;.wav"), std::string::npos);
    EXPECT_EQ(stereo.find("<loop>"), std::string::npos);
    // 10 ms each side at 44.1 kHz: 441 points before the seam and 441 after.
    const std::size_t polyline = stereo.find("points=\"");
    const std::string points = stereo.substr(polyline, stereo.find("\"/>", polyline) - polyline);
    EXPECT_EQ(count(points, ","), 882u);
}

} // namespace
} // namespace sorvane
