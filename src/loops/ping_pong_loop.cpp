#include <algorithm>
#include <cstddef>

#include "loops/loop_builders.hpp"

namespace sorvane {

namespace {

class PingPongLoop : public LoopSource {
public:
    PingPongLoop(const ChannelBuffer& left, const ChannelBuffer& right, bool stereo)
        : left_(left), right_(right), channels_(stereo ? 2 : 1) {}
    std::uint64_t frames() const override { return 2 * static_cast<std::uint64_t>(left_.size()); }
    std::size_t channels() const override { return channels_; }
    void fill(std::uint64_t first, std::size_t count, double* out) const override {
        // Forwards, then mirrored: two plain copies rather than a choice per
        // frame, which the compiler cannot turn into wide moves.
        const std::size_t n = left_.size();
        const auto from = static_cast<std::size_t>(first);
        const std::size_t forwards = from < n ? std::min(count, n - from) : 0;
        copyFrames(out, from, forwards, 1);
        if (count > forwards) {
            copyFrames(out + forwards * channels_, 2 * n - 1 - (from + forwards), count - forwards, -1);
        }
    }

private:
    // `count` frames from input frame `at`, stepping by `step` (+1 or -1).
    void copyFrames(double* out, std::size_t at, std::size_t count, std::ptrdiff_t step) const {
        const double* l = left_.data() + at;
        if (channels_ == 1) {
            for (std::size_t k = 0; k < count; ++k) {
                out[k] = l[static_cast<std::ptrdiff_t>(k) * step];
            }
            return;
        }
        const double* r = right_.data() + at;
        for (std::size_t k = 0; k < count; ++k) {
            out[2 * k] = l[static_cast<std::ptrdiff_t>(k) * step];
            out[2 * k + 1] = r[static_cast<std::ptrdiff_t>(k) * step];
        }
    }

    const ChannelBuffer& left_;
    const ChannelBuffer& right_;
    std::size_t channels_;
};

} // namespace

std::unique_ptr<LoopSource> pingPongLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                         std::int32_t channelCount) {
    return std::make_unique<PingPongLoop>(left, right, channelCount > 1);
}

InterleavedBuffer buildPingPongLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                    std::int32_t channelCount) {
    return wholeLoop(*pingPongLoop(left, right, channelCount));
}

} // namespace sorvane
