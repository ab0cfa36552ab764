#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "loops/buffers.hpp"

namespace sorvane {

// How one channel of a loop behaves where it wraps around, next to how it
// moves everywhere else.
struct ChannelSeam {
    double seamStep = 0.0;       // first sample minus last sample
    double medianStep = 0.0;     // of |x[i+1] - x[i]| over the file
    double percentile99Step = 0.0;
    double seamRelativeDb = 0.0; // 20 log10(|seamStep| / percentile99Step); may be +-inf
    // The same near the seam: the smaller of the 99th percentiles of the
    // steps in the window before the seam and in the window after it.
    double nearPercentile99Step = 0.0;
    double seamRelativeNearDb = 0.0;
    bool likelyClick = false;
};

struct SeamReport {
    std::vector<ChannelSeam> channels;
    bool likelyClick = false; // any channel
};

// The jump across the seam is a click when it is more than twice (6 dB above)
// the 99th percentile of the steps on the quieter side of the seam, and
// larger than one 16-bit step. See the definition for why.
constexpr double kClickRatio = 2.0;
constexpr double kInaudibleStep = 1.0 / 32768.0;

// The context each side of the seam, in frames, for a sample rate: 10 ms
// (at least one frame), as the picture shows.
std::size_t seamWindowFrames(int sampleRate);

// Judges the seam of a loop of at least 2 frames; `right` is read only when
// channelCount > 1. `window` is the context each side of the seam, in frames.
SeamReport analyseSeam(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                       std::size_t window);

// A self-contained SVG of the last 10 ms of the loop followed by its first
// 10 ms, one lane per channel, with the seam marked.
std::string renderSeamSvg(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                          int sampleRate, const std::string& title);

} // namespace sorvane
