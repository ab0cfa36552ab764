#pragma once

#include <cstdint>
#include <string>

#include "loops/buffers.hpp"
#include "seam/seam_judge.hpp"

namespace sorvane {

struct SeamPictureOptions {
    std::string title;        // the loop's name
    bool sharedScale = false; // every lane to the loudest lane's peak
};

// A self-contained SVG of a loop's seam: per channel, the last 10 ms of the
// loop followed by its first 10 ms, and beside it the frames right at the
// seam as dots; above them the verdict and the rules that fired.
std::string renderSeamSvg(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                          int sampleRate, const SeamJudgement& judgement, const SeamPictureOptions& options);
std::string renderSeamSvg(const LoopSource& loop, int sampleRate, const SeamJudgement& judgement,
                          const SeamPictureOptions& options);

} // namespace sorvane
