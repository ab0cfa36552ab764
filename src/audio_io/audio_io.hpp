#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include <sys/types.h>

#include <sndfile.h>

#include "loops/buffers.hpp"

namespace sorvane {

// Which file a path named when it was opened, however it was spelled or linked.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

struct AudioInput {
    SF_INFO info{};
    ChannelBuffer left;
    ChannelBuffer right; // all zeros for a mono input
    std::optional<FileIdentity> identity;
};

// The bytes of physical memory on this machine; 0 when it cannot be told.
std::uint64_t physicalMemoryBytes();

// Reads a mono or stereo file into two channel buffers of the declared frame
// count. On failure writes the reason to `err` and returns nothing.
//
// A declared count whose two buffers would not fit in `memoryBudget` bytes
// (or libsndfile's "unknown length") is not trusted: the frames the file
// actually delivers are read into growing buffers, and their number becomes
// the input's frame count.
std::optional<AudioInput> readInputAudio(const std::string& path, std::ostream& err,
                                         std::uint64_t memoryBudget = physicalMemoryBytes());

// Creates `path` with the input's sample rate, channel count and format and
// writes `buffer` into it. Returns the number of frames written, or nothing
// after writing the reason to `err`.
//
// When `path` names the file `replaces` (the input), the loop is written to a
// temporary file beside it that takes the input's place only once it is
// complete, so a failed write leaves the input as it was.
std::optional<std::uint64_t> writeOutputAudio(const std::string& path, const SF_INFO& inputInfo,
                                              const InterleavedBuffer& buffer, std::ostream& err,
                                              const std::optional<FileIdentity>& replaces = std::nullopt);

} // namespace sorvane
