#include <cmath>
#include <cstdint>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "loops/loop_mode.hpp"
#include "seam/seam_judge.hpp"
#include "seam/seam_picture.hpp"
#include "test_support.hpp"

namespace sorvane {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kRate = 44100;

// A note of a few partials with a slow vibrato and some noise, as a
// recording of a held tone would have; `gain(i)` shapes its level.
ChannelBuffer note(std::size_t frames, double hz, std::uint64_t seed,
                   const std::function<double(std::size_t)>& gain = [](std::size_t) { return 1.0; },
                   double noiseLevel = 0.002) {
    ChannelBuffer out(frames);
    test::Lcg random(seed);
    double phase = 0.0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double noise = random.uniform();
        phase += kTwoPi * hz * (1.0 + 0.003 * std::sin(kTwoPi * 5.0 * static_cast<double>(i) / kRate)) / kRate;
        out[i] = gain(i) * (0.4 * std::sin(phase) + 0.15 * std::sin(2.0 * phase + 1.0) +
                            0.08 * std::sin(3.0 * phase + 2.0)) +
                 noiseLevel * noise;
    }
    return out;
}

// A loop whose wrap is a place where the sound simply goes on: the second
// half of `sound`, then its first half.
ChannelBuffer wrappedWhereItGoesOn(const ChannelBuffer& sound) {
    const auto half = static_cast<std::ptrdiff_t>(sound.size() / 2);
    ChannelBuffer loop(sound.begin() + half, sound.end());
    loop.insert(loop.end(), sound.begin(), sound.begin() + half);
    return loop;
}

ChannelBuffer firstChannel(const InterleavedBuffer& stereo) {
    ChannelBuffer out;
    for (std::size_t i = 0; i < stereo.size(); i += 2) {
        out.push_back(stereo[i]);
    }
    return out;
}

// A sine at full phase 0 for `frames` frames: whole periods when `frames`
// holds a whole number of them.
ChannelBuffer sine(double hz, std::size_t frames) {
    ChannelBuffer out(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        out[i] = 0.5 * std::sin(kTwoPi * hz * static_cast<double>(i) / kRate);
    }
    return out;
}

ChannelBuffer whiteNoise(std::size_t frames) {
    ChannelBuffer out(frames);
    test::Lcg random(7);
    for (double& x : out) {
        x = 0.5 * random.uniform();
    }
    return out;
}

struct JudgeCase {
    const char* name;
    std::function<ChannelBuffer()> loop;
    SeamVerdict verdict;
};

void PrintTo(const JudgeCase& c, std::ostream* os) { *os << c.name; }

class SeamJudgeTest : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(SeamJudgeTest, GivesTheVerdictAListenerWould) {
    const ChannelBuffer loop = GetParam().loop();
    const SeamJudgement j = judgeSeam(loop, {}, 1, kRate);
    ASSERT_EQ(j.channels.size(), 1u);
    const ChannelJudgement& c = j.channels[0];
    EXPECT_EQ(verdictText(j.verdict), std::string(verdictText(GetParam().verdict)))
        << "surprise " << c.surprise << ", period " << c.periodRatio << " (" << c.periodMismatch << "), curvature " << c.curvatureRatio << ", level " << c.levelChangeDb;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SeamJudgeTest,
    ::testing::Values(
        JudgeCase{"heldNoteGoingOn", [] { return wrappedWhereItGoesOn(note(44100, 220.0, 1)); }, SeamVerdict::Smooth},
        JudgeCase{"chordGoingOn",
                  [] {
                      ChannelBuffer a = note(44100, 261.6, 2);
                      const ChannelBuffer b = note(44100, 329.6, 3);
                      for (std::size_t i = 0; i < a.size(); ++i) {
                          a[i] = 0.6 * (a[i] + b[i]);
                      }
                      return wrappedWhereItGoesOn(a);
                  },
                  SeamVerdict::Smooth},
        JudgeCase{"noiseCutAnywhere", [] { return whiteNoise(20000); }, SeamVerdict::Smooth},
        JudgeCase{"crossfadedNote",
                  [] { return firstChannel(buildCrossfadeLoop(note(44100, 220.0, 4), {}, 1, kDefaultCrossfadePercent)); },
                  SeamVerdict::Smooth},
        JudgeCase{"silence", [] { return ChannelBuffer(20000, 0.0); }, SeamVerdict::Smooth},
        // A hard cut of a held note, a third of a cycle out.
        JudgeCase{"heldNoteCut",
                  [] {
                      ChannelBuffer n = note(44100, 220.0, 5);
                      n.resize(40000 + 67);
                      return n;
                  },
                  SeamVerdict::LikelyClick},
        // So breathy that no frame is surprising on its own, but the cycle breaks.
        JudgeCase{"breathyNoteCut",
                  [] {
                      ChannelBuffer n = note(44100, 220.0, 15, [](std::size_t) { return 1.0; }, 0.25);
                      n.resize(40000 + 17);
                      return n;
                  },
                  SeamVerdict::LikelyClick},
        // The value repeats and the slope flips: a kink, though no step.
        JudgeCase{"pingPongTurnOfAHeldNote",
                  [] {
                      const ChannelBuffer n = note(20000, 220.0, 6);
                      return firstChannel(buildPingPongLoop(ChannelBuffer(n.begin() + 77, n.end()), {}, 1));
                  },
                  SeamVerdict::LikelyClick},
        // The loop starts and ends on the same negative frame: a one-frame stall.
        JudgeCase{"zeroCrossingStall", [] { return firstChannel(buildZeroCrossingLoop(note(44100, 110.0, 7), {}, 1)); },
                  SeamVerdict::LikelyClick},
        // A plucked note looped whole: its quiet tail runs into its attack.
        JudgeCase{"decayThatReattacks",
                  [] {
                      return note(88200, 220.0, 8, [](std::size_t i) { return std::exp(-static_cast<double>(i) / 15000.0); });
                  },
                  SeamVerdict::LevelJump},
        // A break of a few 16-bit steps in a near-silent tail cannot be heard.
        JudgeCase{"quietCut",
                  [] {
                      ChannelBuffer n = note(40067, 220.0, 9);
                      for (double& x : n) {
                          x *= 0.0004;
                      }
                      return n;
                  },
                  SeamVerdict::Smooth},
        // Short loops are judged as played, repeated end to end: 30 ms of a
        // held note cut a third of a cycle out clicks 33 times a second...
        JudgeCase{"shortLoopCutMidCycle", [] { return note(1323 + 67, 220.0, 10); }, SeamVerdict::LikelyClick},
        // ...and so does a sine cut at its peak, however smooth each cycle...
        JudgeCase{"shortSineCutAtItsPeak", [] { return sine(441.0, 1000 + 25); }, SeamVerdict::LikelyClick},
        // ...and a steady tone cut a twentieth of a cycle off, a step a third
        // of its level where the tone itself repeats almost exactly...
        JudgeCase{"shortToneSlightlyOffItsPeriod",
                  [] {
                      ChannelBuffer tone = sine(441.0, 1000 + 5);
                      test::Lcg random(13);
                      for (double& x : tone) {
                          x += 0.01 * random.uniform();
                      }
                      return tone;
                  },
                  SeamVerdict::LikelyClick},
        // ...while whole periods wrap as they run, one period of a tone included.
        JudgeCase{"shortLoopOfWholePeriods", [] { return sine(441.0, 500); }, SeamVerdict::Smooth},
        JudgeCase{"onePeriodOfATone", [] { return sine(441.0, 100); }, SeamVerdict::Smooth},
        JudgeCase{"shortNoise", [] { return whiteNoise(900); }, SeamVerdict::Smooth},
        // Too few frames for any measure to mean something.
        JudgeCase{"sevenFrames", [] { return sine(441.0, 7); }, SeamVerdict::NotJudged}));

TEST(SeamJudge, StereoNamesTheChannelThatClicks) {
    ChannelBuffer cut = note(44100, 220.0, 11);
    cut.resize(40067);
    const ChannelBuffer goingOn = wrappedWhereItGoesOn(note(40067, 220.0, 12));
    for (const bool cutOnLeft : {true, false}) {
        const SeamJudgement j = cutOnLeft ? judgeSeam(cut, goingOn, 2, kRate) : judgeSeam(goingOn, cut, 2, kRate);
        ASSERT_EQ(j.channels.size(), 2u);
        EXPECT_EQ(j.channels[0].clicks(), cutOnLeft);
        EXPECT_EQ(j.channels[1].clicks(), !cutOnLeft);
        EXPECT_EQ(j.verdict, SeamVerdict::LikelyClick);
    }
}

TEST(SeamPicture, ShowsTheVerdictTheRulesAndDotsAtTheSeam) {
    ChannelBuffer cut = note(44100, 220.0, 13);
    cut.resize(40067);
    ChannelBuffer quiet = wrappedWhereItGoesOn(note(40067, 220.0, 14));
    for (double& x : quiet) {
        x *= 0.01;
    }
    const SeamJudgement j = judgeSeam(cut, quiet, 2, kRate);
    SeamPictureOptions options;
    options.title = "a & b <loop>.wav";
    const std::string own = renderSeamSvg(cut, quiet, 2, kRate, j, options);
    options.sharedScale = true;
    const std::string shared = renderSeamSvg(cut, quiet, 2, kRate, j, options);
    EXPECT_NE(own.find(">seam: likely click</text>"), std::string::npos);
    EXPECT_NE(own.find("prediction"), std::string::npos);
    EXPECT_NE(own.find("<circle"), std::string::npos);
    EXPECT_NE(own.find("a &amp; b &lt;loop&gt;.wav"), std::string::npos);
    // Each lane labels its own scale; shared, the quiet lane takes the loud one's.
    const auto scales = [](const std::string& svg) {
        std::vector<std::string> found;
        for (std::size_t at = svg.find("class=\"scale\""); at != std::string::npos;
             at = svg.find("class=\"scale\"", at + 1)) {
            const std::size_t text = svg.find('>', at) + 1;
            found.push_back(svg.substr(text, svg.find('<', text) - text));
        }
        return found;
    };
    const std::vector<std::string> ownScales = scales(own);
    const std::vector<std::string> sharedScales = scales(shared);
    ASSERT_EQ(ownScales.size(), 4u);
    ASSERT_EQ(sharedScales.size(), 4u);
    EXPECT_NE(ownScales[0], ownScales[2]);
    EXPECT_EQ(sharedScales[0], sharedScales[2]);
}

} // namespace
} // namespace sorvane
