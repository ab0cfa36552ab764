#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "loops/buffers.hpp"

namespace sorvane {

// A loop that hands out any stretch of its frames on demand, so that it can
// go to a file block by block and never be held whole. Every source reads
// `right` only when channelCount > 1 and never changes its inputs, which must
// outlive it.
class LoopSource {
public:
    virtual ~LoopSource() = default;
    virtual std::uint64_t frames() const = 0;
    virtual std::size_t channels() const = 0;
    // Writes frames [first, first + count) to `out`, frame-major, left sample
    // first; first + count must not pass frames().
    virtual void fill(std::uint64_t first, std::size_t count, double* out) const = 0;
};

// The whole loop at once.
InterleavedBuffer wholeLoop(const LoopSource& loop);

// The channel buffers as they are, as a loop of all their frames.
std::unique_ptr<LoopSource> buffersAsLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                          std::int32_t channelCount);

// Frames [start, end) of `whole`, which must outlive it: the loop a sampler
// plays inside a longer sound.
std::unique_ptr<LoopSource> spanOf(const LoopSource& whole, std::uint64_t start, std::uint64_t end);

// Drops the first F = trunc(N * percent%) frames and blends them back in over
// the end of the rest with an equal-power fade. Output samples are held to
// -1.0 .. +1.0; the result has N - F frames and may be empty.
std::unique_ptr<LoopSource> crossfadeLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                          std::int32_t channelCount, float percent);

// The input forwards, then backwards: 2N frames, samples copied unchanged.
std::unique_ptr<LoopSource> pingPongLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                         std::int32_t channelCount);

// Input frames j..a, where j and a are the first and last rising zero crossings
// of the channel sum (the index of the negative frame). Empty when the sum
// never rises through zero.
std::unique_ptr<LoopSource> zeroCrossingLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                             std::int32_t channelCount);

// The same loops whole, as interleaved buffers of their final size.
InterleavedBuffer buildCrossfadeLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                     std::int32_t channelCount, float percent);
InterleavedBuffer buildPingPongLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                    std::int32_t channelCount);
InterleavedBuffer buildZeroCrossingLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                        std::int32_t channelCount);

} // namespace sorvane
