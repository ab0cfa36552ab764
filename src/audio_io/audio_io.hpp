#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include <sndfile.h>

#include "audio_io/output_target.hpp"
#include "loops/loop_builders.hpp"

namespace sorvane {

struct AudioInput {
    SF_INFO info{}; // `frames` is the number of frames the file delivered
    ChannelBuffer left;
    ChannelBuffer right; // empty for a mono input: a mono file is held once
    std::optional<FileIdentity> identity;
};

// Reads a mono or stereo file into two channel buffers holding the frames the
// file really delivers, whatever length it declares. On failure writes the
// reason to `err` and returns nothing.
std::optional<AudioInput> readInputAudio(const std::string& path, std::ostream& err);

// How many frames to reserve before reading a file that declares `info.frames`
// frames and is `fileBytes` long (nothing when that cannot be told, as for a
// pipe). The declared count is trusted only as far as the file's size could
// hold it in its encoding; the buffers grow beyond that if the file delivers
// more.
std::uint64_t framesWorthReserving(const SF_INFO& info, std::optional<std::uint64_t> fileBytes);

// Writes `loop` to `path`, block by block as it is built, with the input's
// sample rate, channel count and format. Returns the number of frames written, or nothing after writing the
// reason to `err`. A regular file (the input itself included, `replaces`) is
// written beside its place and takes it only once complete: a failure leaves
// what was there as it was, and no fragment behind.
// What a caller adds to a file as it is written. Each returns nothing, or
// why it failed, which fails the write as any other cause would.
struct OutputExtras {
    // On the open file, before the first frame (for metadata libsndfile
    // writes into the header).
    std::function<std::optional<std::string>(SNDFILE*)> beforeFrames;
    // On the complete, closed file before it takes its place: its descriptor,
    // readable and writable at any offset from `base`. A pipe or a
    // character device, which cannot be amended, is refused up front.
    std::function<std::optional<std::string>(int fd, off_t base)> afterClose;
};

std::optional<std::uint64_t> writeOutputAudio(const std::string& path, const SF_INFO& inputInfo,
                                              const LoopSource& loop, std::ostream& err,
                                              const std::optional<FileIdentity>& replaces = std::nullopt,
                                              const OutputExtras& extras = {});

} // namespace sorvane
