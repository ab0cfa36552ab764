#include <cstddef>

#include "loops/loop_builders.hpp"

namespace sorvane {

InterleavedBuffer buildPingPongLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                    std::int32_t channelCount) {
    const std::size_t n = left.size();
    const bool stereo = channelCount > 1;
    const std::size_t c = stereo ? 2 : 1;
    InterleavedBuffer out(2 * n * c, 0.0);
    double* forward = out.data();
    double* backward = out.data() + n * c;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t mirrored = n - 1 - i;
        forward[i * c] = left[i];
        backward[i * c] = left[mirrored];
        if (stereo) {
            forward[i * c + 1] = right[i];
            backward[i * c + 1] = right[mirrored];
        }
    }
    return out;
}

} // namespace sorvane
