#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include <sndfile.h>

#include "files/file_descriptor.hpp"
#include "files/output_extras.hpp"
#include "audio_io/output_format.hpp"
#include "audio_io/output_target.hpp"
#include "audio_io/sndfile_handle.hpp"
#include "loops/loop_builders.hpp"
#include "metadata/file_metadata.hpp"

namespace sorvane {

struct AudioInput {
    SF_INFO info{}; // `frames` is the number of frames the file delivered
    ChannelBuffer left;
    ChannelBuffer right; // empty for a mono input: a mono file is held once
    std::optional<FileIdentity> identity;
    FileMetadata metadata;
    std::optional<double> bitRateKbps; // what a lossy output of it is encoded at, at least
    // The file's bytes as read (a pipe's as spooled), for a copy that keeps
    // them: its path may name a pipe that cannot be read again.
    std::shared_ptr<const FileDescriptor> bytes;
};

// An input file, open and checked: mono or stereo, and a length that is not
// negative.
struct OpenInput {
    std::shared_ptr<FileDescriptor> fd; // the file, or the copy of a pipe, shared with what it carries
    SndFileHandle handle;               // declared after `fd`, so that it closes first
    SF_INFO info{};
    std::optional<FileIdentity> identity;
    std::optional<std::uint64_t> fileBytes; // the size of a regular file, which can be read at any frame
    bool reopenable = false;                // the path names a regular file, which can be opened again
};

// Opens a file for reading and checks it. On failure writes the reason to
// `err` and returns nothing.
std::optional<OpenInput> openInputAudio(const std::string& path, std::ostream& err);

// Reads a mono or stereo file into two channel buffers holding the frames the
// file really delivers, whatever length it declares. On failure writes the
// reason to `err` and returns nothing.
std::optional<AudioInput> readInputAudio(const std::string& path, std::ostream& err);
// The same, of a file opened already.
std::optional<AudioInput> readInputAudio(OpenInput opened, std::ostream& err);

// How many frames to reserve before reading a file that declares `info.frames`
// frames and is `fileBytes` long (nothing when that cannot be told, as for a
// pipe). The declared count is trusted only as far as the file's size could
// hold it in its encoding; the buffers grow beyond that if the file delivers
// more.
std::uint64_t framesWorthReserving(const SF_INFO& info, std::optional<std::uint64_t> fileBytes);

// How a loop is written: the format (with the input's rate and channels),
// the lossy encoder's settings, the file it may replace (the input, which is
// then replaced only once the loop is complete), and what goes with the audio.
struct OutputPlan {
    SF_INFO info{}; // at the rate of the file, which a lossy codec may carry the frames at (resampled)
    int framesRate = 0; // the loop's own rate
    EncoderSettings encoder;
    std::optional<FileIdentity> replaces;
    OutputExtras extras;
    // The loop a player repeats inside the frames written (the whole of them
    // when none): a lossy encoder codes each end of it with the other as context.
    std::optional<LoopPoints> loop;
};

// The plan for writing a loop of `input` to `path`: the format its name asks
// for, at the input's rate where the format carries it, an encoder at no
// lower a rate than a lossy input's, and nothing besides the audio (the
// caller adds what should go with it).
OutputPlan planOutput(const std::string& path, const AudioInput& input);

// Writes `loop` to `path`, block by block as it is built, as `plan` says.
// Returns the number of frames written, or nothing after writing the reason
// to `err`. A regular file (the input itself included) is written beside its
// place and takes it only once complete: a failure leaves what was there as
// it was, and no fragment behind. A WAV that would pass 4 GiB is written as
// RF64; a format with a smaller limit of its own is refused before writing.
// Ogg Vorbis, Ogg Opus and MP3 go through the seamless lossy writer; the
// count returned is the loop's, at its own rate.
std::optional<std::uint64_t> writeOutputAudio(const std::string& path, const OutputPlan& plan, const LoopSource& loop,
                                              std::ostream& err);

// Writes the input's bytes to `path` as they are, with the plan's extras
// added once it is complete (tags into a lossy file whose packets must not
// be encoded again), by the same safe path. False after writing the reason
// to `err`.
bool copyOutputFile(const std::string& path, const AudioInput& input, const OutputPlan& plan, std::ostream& err);

} // namespace sorvane
