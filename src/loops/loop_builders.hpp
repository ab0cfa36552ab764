#pragma once

#include <cstdint>

#include "loops/buffers.hpp"

namespace sorvane {

// Every builder reads `right` only when channelCount > 1, never changes its
// inputs, and returns a freshly allocated buffer of its final size.

// Drops the first F = trunc(N * percent%) frames and blends them back in over
// the end of the rest with an equal-power fade. Output samples are held to
// -1.0 .. +1.0; the result has N - F frames and may be empty.
InterleavedBuffer buildCrossfadeLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                     std::int32_t channelCount, float percent);

// The input forwards, then backwards: 2N frames, samples copied unchanged.
InterleavedBuffer buildPingPongLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                    std::int32_t channelCount);

// Input frames j..a, where j and a are the first and last rising zero crossings
// of the channel sum (the index of the negative frame). Empty when the sum
// never rises through zero.
InterleavedBuffer buildZeroCrossingLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                        std::int32_t channelCount);

} // namespace sorvane
