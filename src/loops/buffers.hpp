#pragma once

#include <vector>

namespace sorvane {

// One channel of the input, one double per sample frame.
using ChannelBuffer = std::vector<double>;

// A builder's result, frame-major: frame k holds elements k*c .. k*c + c - 1,
// left sample first.
using InterleavedBuffer = std::vector<double>;

} // namespace sorvane
