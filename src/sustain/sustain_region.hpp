#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "loops/buffers.hpp"

namespace sorvane {

// Frames [start, end) of a note.
struct FrameSpan {
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t size() const { return end - start; }
};

// RMS of both channels together over consecutive windows of `window` frames
// (the last one may be shorter).
std::vector<double> rmsEnvelope(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                                std::size_t window);

// Where a note holds: from where its level has settled after the attack peak
// (and at least 100 ms in) to where its release begins, if it has one. Empty
// when the note never rises above digital near-silence.
std::optional<FrameSpan> findSustainRegion(const ChannelBuffer& left, const ChannelBuffer& right,
                                           std::int32_t channelCount, int sampleRate);

// Silence, for this purpose: an RMS below -80 dBFS in every window.
constexpr double kSilenceRms = 1e-4;

} // namespace sorvane
