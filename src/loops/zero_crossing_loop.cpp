#include <cstddef>

#include "loops/loop_builders.hpp"

namespace sorvane {

namespace {

// The detection signal: the plain double sum of the channels. Adding to +0.0
// first turns a negative-zero sample into +0.0, as a zero-filled sum would.
double channelSum(const ChannelBuffer& left, const ChannelBuffer& right, bool stereo,
                  std::size_t i) {
    double s = left[i] + 0.0;
    if (stereo) {
        s = right[i] + s;
    }
    return s;
}

} // namespace

InterleavedBuffer buildZeroCrossingLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                        std::int32_t channelCount) {
    const std::size_t n = left.size();
    const bool stereo = channelCount > 1;
    const std::size_t c = stereo ? 2 : 1;
    if (n < 2) {
        return {};
    }

    // Only the first and the last crossing matter, so search from each end
    // instead of keeping the whole sum: that saves a copy of the input's size.
    // Ordered comparisons make any pair with a NaN no crossing.
    auto rises = [&](std::size_t k) {
        return channelSum(left, right, stereo, k) < 0.0 &&
               channelSum(left, right, stereo, k + 1) >= 0.0;
    };
    std::size_t first = 0;
    while (first + 1 < n && !rises(first)) {
        ++first;
    }
    if (first + 1 == n) {
        return {};
    }
    std::size_t last = n - 2;
    while (!rises(last)) {
        --last;
    }

    const std::size_t frames = last - first + 1;
    InterleavedBuffer out(frames * c, 0.0);
    for (std::size_t t = 0; t < frames; ++t) {
        out[t * c] = left[first + t];
        if (stereo) {
            out[t * c + 1] = right[first + t];
        }
    }
    return out;
}

} // namespace sorvane
