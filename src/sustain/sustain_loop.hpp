#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "loops/buffers.hpp"
#include "loops/loop_builders.hpp"
#include "seam/seam_judge.hpp"
#include "sustain/pitch.hpp"
#include "sustain/sustain_region.hpp"

namespace sorvane {

struct SustainSettings {
    std::optional<std::size_t> regionStart;      // frames; else found from the level
    std::optional<std::size_t> regionEnd;        // frames; else where the release begins
    std::optional<std::size_t> shortestLoop;     // frames; else 1 s, or half the note when that is less
    // The blend's length when the seam needs one; else 30 ms. For a drift in
    // loudness the blend is as long as brings the end back to the start's
    // level, and no shorter than this when it is given.
    std::optional<double> crossfadeMs;
    bool crossfade = true;                       // when the seam is not smooth with a margin
    // A gain that rises (or falls) smoothly across the loop, in dB linear in
    // time, so that its end comes to its start's level; the rest of the
    // note after the loop takes the end's gain, so that it goes on as it did.
    bool flatten = false;
};

struct SustainLoop {
    FrameSpan region;
    FrameSpan loop; // plays frames [start, end) over and over
    PitchEstimate pitch;
    double frequency = 0.0;      // Hz, when pitched
    std::size_t periods = 0;     // whole periods in the loop; 0 for an unpitched sound
    double detuneCents = 0.0;    // of the loop's period against the estimate
    double loudnessChangeDb = 0.0; // last whole periods of the loop against its first
    // The end of the loop blended with what precedes its start: the loop's
    // last crossfadeFrames() frames, per channel (none when unblended).
    ChannelBuffer blendedLeft;
    ChannelBuffer blendedRight;
    double crossfadeCorrelation = 0.0;
    // With --flatten: the gain that rises (or falls) across the loop, in dB,
    // reached at its end and kept after it; and the gain of the whole note
    // (0, or below 0 where the flattened end would pass full scale).
    double flattenDb = 0.0;
    double lowerDb = 0.0;
    SeamJudgement seam; // of the loop as written

    std::size_t crossfadeFrames() const { return blendedLeft.size(); }
    // The gain frame k of the note is written with: 1 before the loop, the
    // flattening ramp across it, its end's gain after it.
    double gainAt(std::size_t k) const;
    bool smoothWithMargin() const { return isSmoothWithMargin(seam); }
};

// Finds a loop in the sustain of a note: a whole number of periods for a
// pitched sound, its ends matched in waveform and loudness, blended when
// the seam is not clearly smooth. Returns the loop, or why there is none.
std::variant<SustainLoop, std::string> findSustainLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                                       std::int32_t channelCount, int sampleRate,
                                                       const SustainSettings& settings);

// The whole note with the loop's blended end in place, and its gain where it
// is flattened; every other frame as read.
std::unique_ptr<LoopSource> sustainedSound(const ChannelBuffer& left, const ChannelBuffer& right,
                                           std::int32_t channelCount, const SustainLoop& loop);

} // namespace sorvane
