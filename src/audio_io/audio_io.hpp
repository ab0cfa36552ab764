#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include <sndfile.h>

#include "loops/buffers.hpp"

namespace sorvane {

struct AudioInput {
    SF_INFO info{};
    ChannelBuffer left;
    ChannelBuffer right; // all zeros for a mono input
};

// Reads a mono or stereo file into two channel buffers of the declared frame
// count. On failure writes the reason to `err` and returns nothing.
std::optional<AudioInput> readInputAudio(const std::string& path, std::ostream& err);

// Creates `path` with the input's sample rate, channel count and format and
// writes `buffer` into it. Returns the number of frames written, or nothing
// after writing the reason to `err`.
std::optional<std::uint64_t> writeOutputAudio(const std::string& path, const SF_INFO& inputInfo,
                                              const InterleavedBuffer& buffer, std::ostream& err);

} // namespace sorvane
