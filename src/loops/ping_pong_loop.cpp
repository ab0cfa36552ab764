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
        const std::size_t n = left_.size();
        for (std::size_t k = 0; k < count; ++k) {
            const auto t = static_cast<std::size_t>(first) + k;
            const std::size_t i = t < n ? t : 2 * n - 1 - t; // forwards, then mirrored
            out[k * channels_] = left_[i];
            if (channels_ > 1) {
                out[k * channels_ + 1] = right_[i];
            }
        }
    }

private:
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
