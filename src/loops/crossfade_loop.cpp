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

} // namespace

// The crossfade factor, span, remaining counts and weights are single
// precision and the sample arithmetic double precision, every operation
// rounded on its own: the loop points and the blended samples then come out
// the same, to the last bit, on every build (this file is compiled without
// fused multiply-add).
InterleavedBuffer buildCrossfadeLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                     std::int32_t channelCount, float percent) {
    const std::uint64_t n = left.size();
    const bool stereo = channelCount > 1;
    const std::size_t c = stereo ? 2 : 1;

    const float factor = percent * 0.01f;
    const auto fadeFrames =
        static_cast<std::uint64_t>(static_cast<double>(factor) * static_cast<double>(n));
    const std::uint64_t outFrames = n - fadeFrames;

    InterleavedBuffer out(static_cast<std::size_t>(outFrames) * c, 0.0);
    if (outFrames == 0) {
        return out;
    }

    // A zero span gives R / L = +inf and so w = 0 everywhere; a negative-zero
    // span (percentage -0) gives -inf and w = 1, with head and body the same frame.
    const float span = static_cast<float>(n) * factor;
    for (std::uint64_t k = 0; k < outFrames; ++k) {
        const auto remaining = static_cast<float>(outFrames - k);
        double headWeight = 0.0;
        double bodyWeight = 1.0;
        // Until the remaining count drops below the span, R / L is at least 1
        // and w is held to 0: skip the division and the square roots, which
        // give exactly these weights. A negative-zero span must take the
        // long way, where R / L is -inf and w becomes 1.
        if (!(remaining >= span && !std::signbit(span))) {
            float w = 1.0f - remaining / span;
            if (w < 0.0f) {
                w = 0.0f;
            }
            if (w > 1.0f) {
                w = 1.0f;
            }
            headWeight = static_cast<double>(std::sqrt(w));
            bodyWeight = static_cast<double>(std::sqrt(1.0f - w));
        }

        const auto body = static_cast<std::size_t>(fadeFrames + k);
        const auto head = static_cast<std::size_t>((2 * fadeFrames + k) % n);
        const auto dst = static_cast<std::size_t>(k) * c;

        const double bodyPart = bodyWeight * left[body];
        const double headPart = headWeight * left[head];
        out[dst] = holdToFullScale(bodyPart + headPart);
        if (stereo) {
            const double rightBody = bodyWeight * right[body];
            const double rightHead = headWeight * right[head];
            out[dst + 1] = holdToFullScale(rightBody + rightHead);
        }
    }
    return out;
}

} // namespace sorvane
