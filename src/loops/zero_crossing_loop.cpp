#include <cstddef>

#include "loops/loop_builders.hpp"

namespace sorvane {

namespace {

// The detection signal: the plain double sum of the channels. Adding to +0.0
// first turns a negative-zero sample into +0.0, as a zero-filled sum would.
double channelSum(const ChannelBuffer& left, const ChannelBuffer& right, bool stereo, std::size_t i) {
    double s = left[i] + 0.0;
    if (stereo) {
        s = right[i] + s;
    }
    return s;
}

// A stretch of the input copied unchanged: frames [first, first + frames).
class ZeroCrossingLoop : public LoopSource {
public:
    ZeroCrossingLoop(const ChannelBuffer& left, const ChannelBuffer& right, bool stereo, std::size_t first,
                     std::size_t frames)
        : left_(left), right_(right), channels_(stereo ? 2 : 1), first_(first), frames_(frames) {}
    std::uint64_t frames() const override { return frames_; }
    std::size_t channels() const override { return channels_; }
    void fill(std::uint64_t first, std::size_t count, double* out) const override {
        const std::size_t from = first_ + static_cast<std::size_t>(first);
        for (std::size_t t = 0; t < count; ++t) {
            out[t * channels_] = left_[from + t];
            if (channels_ > 1) {
                out[t * channels_ + 1] = right_[from + t];
            }
        }
    }

private:
    const ChannelBuffer& left_;
    const ChannelBuffer& right_;
    std::size_t channels_;
    std::size_t first_;
    std::size_t frames_;
};

} // namespace

std::unique_ptr<LoopSource> zeroCrossingLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                             std::int32_t channelCount) {
    const std::size_t n = left.size();
    const bool stereo = channelCount > 1;
    // Only the first and the last crossing matter, so search from each end
    // instead of keeping the whole sum: that saves a copy of the input's size.
    // Ordered comparisons make any pair with a NaN no crossing.
    auto rises = [&](std::size_t k) {
        return channelSum(left, right, stereo, k) < 0.0 && channelSum(left, right, stereo, k + 1) >= 0.0;
    };
    std::size_t first = 0;
    while (first + 1 < n && !rises(first)) {
        ++first;
    }
    if (n < 2 || first + 1 == n) {
        return std::make_unique<ZeroCrossingLoop>(left, right, stereo, 0, 0);
    }
    std::size_t last = n - 2;
    while (!rises(last)) {
        --last;
    }
    return std::make_unique<ZeroCrossingLoop>(left, right, stereo, first, last - first + 1);
}

InterleavedBuffer buildZeroCrossingLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                        std::int32_t channelCount) {
    return wholeLoop(*zeroCrossingLoop(left, right, channelCount));
}

} // namespace sorvane
