#include <cmath>
#include <cstddef>
#include <cstdint>

#include "loops/loop_builders.hpp"

namespace sorvane {

namespace {

// NaN and everything from +1.0 up become +1.0; everything down from -1.0
// becomes -1.0.
double holdToFullScale(double s) {
    if (!(s < 1.0)) {
        s = 1.0;
    }
    if (!(s > -1.0)) {
        s = -1.0;
    }
    return s;
}

// The crossfade factor, span, remaining counts and weights are single
// precision and the sample arithmetic double precision, every operation
// rounded on its own: the loop points and the blended samples then come out
// the same, to the last bit, on every build (this file is compiled without
// fused multiply-add).
class CrossfadeLoop : public LoopSource {
public:
    CrossfadeLoop(const ChannelBuffer& left, const ChannelBuffer& right, bool stereo, float percent)
        : left_(left), right_(right), channels_(stereo ? 2 : 1), n_(left.size()), factor_(percent * 0.01f),
          fadeFrames_(static_cast<std::uint64_t>(static_cast<double>(factor_) * static_cast<double>(n_))),
          outFrames_(n_ - fadeFrames_),
          // A zero span gives R / L = +inf and so w = 0 everywhere; a
          // negative-zero span (percentage -0) gives -inf and w = 1, with head
          // and body the same frame.
          span_(static_cast<float>(n_) * factor_) {}

    std::uint64_t frames() const override { return outFrames_; }
    std::size_t channels() const override { return channels_; }

    void fill(std::uint64_t first, std::size_t count, double* out) const override {
        for (std::uint64_t k = first; k < first + count; ++k) {
            const auto remaining = static_cast<float>(outFrames_ - k);
            double headWeight = 0.0;
            double bodyWeight = 1.0;
            // Until the remaining count drops below the span, R / L is at least
            // 1 and w is held to 0: skip the division and the square roots,
            // which give exactly these weights. A negative-zero span must take
            // the long way, where R / L is -inf and w becomes 1.
            if (!(remaining >= span_ && !std::signbit(span_))) {
                float w = 1.0f - remaining / span_;
                if (w < 0.0f) {
                    w = 0.0f;
                }
                if (w > 1.0f) {
                    w = 1.0f;
                }
                headWeight = static_cast<double>(std::sqrt(w));
                bodyWeight = static_cast<double>(std::sqrt(1.0f - w));
            }

            const auto body = static_cast<std::size_t>(fadeFrames_ + k);
            const auto head = static_cast<std::size_t>((2 * fadeFrames_ + k) % n_);
            double* dst = out + static_cast<std::size_t>(k - first) * channels_;

            const double bodyPart = bodyWeight * left_[body];
            const double headPart = headWeight * left_[head];
            dst[0] = holdToFullScale(bodyPart + headPart);
            if (channels_ > 1) {
                const double rightBody = bodyWeight * right_[body];
                const double rightHead = headWeight * right_[head];
                dst[1] = holdToFullScale(rightBody + rightHead);
            }
        }
    }

private:
    const ChannelBuffer& left_;
    const ChannelBuffer& right_;
    std::size_t channels_;
    std::uint64_t n_;
    float factor_;
    std::uint64_t fadeFrames_;
    std::uint64_t outFrames_;
    float span_;
};

} // namespace

std::unique_ptr<LoopSource> crossfadeLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                          std::int32_t channelCount, float percent) {
    return std::make_unique<CrossfadeLoop>(left, right, channelCount > 1, percent);
}

InterleavedBuffer buildCrossfadeLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                     std::int32_t channelCount, float percent) {
    return wholeLoop(*crossfadeLoop(left, right, channelCount, percent));
}

} // namespace sorvane
