#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "loops/buffers.hpp"
#include "loops/loop_builders.hpp"

namespace sorvane {

// How one channel of a loop behaves where it wraps around (last frame into
// first), each measure against the same channel just before the wrap.
struct ChannelJudgement {
    // The largest error, at the first frames after the wrap, of a linear
    // predictor fitted to the loop's end, over the robust spread of its
    // errors there: how surprising the wrap is to a model of the sound.
    double surprise = 0.0;
    double predictionError = 0.0; // that largest error, in full-scale units
    // For a periodic sound: how far the first frames after the wrap are from
    // the frames one period before them, over how far they are elsewhere in
    // the loop's end (0 when the sound is not periodic). A cut of a held note
    // breaks its periodicity, whatever the size of the step it makes.
    double periodRatio = 0.0;
    double periodMismatch = 0.0; // that distance (RMS) over the end's RMS
    // The largest |second difference| at the wrap over the 99th percentile near it:
    // a kink, a slope reversal or a stall.
    double curvatureRatio = 0.0;
    double curvatureAtWrap = 0.0;
    // RMS of the loop's start over RMS of its end, in dB (+-inf when one is
    // digital silence and the other is not; 0 when both are). NaN for a loop
    // shorter than the level windows, whose level is not judged.
    double levelChangeDb = 0.0;
    bool predictionFired = false;
    bool periodFired = false;
    bool curvatureFired = false;
    bool levelFired = false;

    bool clicks() const { return predictionFired || periodFired || curvatureFired; }
};

// NotJudged: a loop too short for any measure to mean something (fewer than
// kFewestJudgedFrames frames); never smooth, never with a margin.
enum class SeamVerdict { Smooth, LikelyClick, LevelJump, NotJudged };

struct SeamJudgement {
    std::vector<ChannelJudgement> channels;
    SeamVerdict verdict = SeamVerdict::Smooth;
};

// The rules' limits, calibrated on designer loops and random cuts of the
// notes of a General MIDI soundfont (see eval/seam_eval.py).
constexpr double kSurpriseLimit = 30.0;
constexpr double kPeriodicityLimit = 0.8;   // normalised correlation one period apart
constexpr double kPeriodRatioLimit = 3.0;
constexpr double kPeriodMismatchLimit = 0.5;
constexpr double kCurvatureLimit = 1.5;
constexpr double kLevelLimitDb = 9.0;
// A break smaller than this many 16-bit steps cannot be heard, however
// surprising it is to the model: quiet passages are judged smooth.
constexpr double kAudibleBreak = 8.0 / 32768.0;

// Loops shorter than this (40 ms) are judged against their own inside rather
// than against the windows around their wrap, which would hold the wrap
// again and again.
std::size_t shortestJudgedLoop(int sampleRate);
constexpr std::size_t kFewestJudgedFrames = 8;

// Judges the seam of a loop of at least 2 frames; `right` is read only when
// channelCount > 1. All context comes from inside the loop, played end to
// end, so whatever the recording held outside it plays no part.
SeamJudgement judgeSeam(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                        int sampleRate);
// The same of a loop handed out by `loop` (of at least 2 frames), of which
// only a few windows are read, whatever its length.
SeamJudgement judgeSeam(const LoopSource& loop, int sampleRate);

// Smooth with room to spare: on every channel each measure stays within two
// thirds of its limit, or the break is below what can be heard. A loop maker asks this
// of its own seams, so that a loop it calls smooth is not one that barely
// passed.
bool isSmoothWithMargin(const SeamJudgement& judgement);

const char* verdictText(SeamVerdict verdict);

// The rules that fired on a channel, by name: prediction, period, curvature, level.
std::vector<const char*> firedRules(const ChannelJudgement& judgement);

// The rules that fired on any channel, each once, in alphabetical order.
std::vector<std::string> firedRules(const SeamJudgement& judgement);

// "mono", or "left" and "right".
const char* channelName(std::size_t channel, std::size_t channels);

} // namespace sorvane
