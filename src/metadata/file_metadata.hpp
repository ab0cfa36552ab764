#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sndfile.h>

#include "files/file_descriptor.hpp"
#include "files/output_extras.hpp"
#include "metadata/chunk_file.hpp"
#include "metadata/loop_points.hpp"
#include "metadata/string_set.hpp"
#include "metadata/xiph_comments.hpp"

namespace sorvane {

// What a file carries besides its audio: its tags in libsndfile's string set
// (as UTF-8), and, as they are, the chunks of a WAV or AIFF file or the
// comments and metadata blocks of a FLAC or Ogg file.
struct FileMetadata {
    int format = 0; // the file's libsndfile format
    StringSet strings;
    std::vector<Chunk> chunks; // less those libsndfile writes itself
    std::optional<XiphTags> xiph;
};

// Read from a file open for reading as `file`, whose bytes `fd` reads (a
// regular file of `fileBytes`; nothing of a stream whose size is unknown).
FileMetadata readMetadata(SNDFILE* file, const std::shared_ptr<const FileDescriptor>& fd, const SF_INFO& info,
                          std::optional<std::uint64_t> fileBytes);

// The loop a file marks for samplers, if it marks one: the first loop of a
// WAV or RF64 `smpl` chunk, the sustain loop of an AIFF `INST` chunk, or the
// LOOPSTART and LOOPLENGTH comments of a FLAC or Ogg file, read from `fd`;
// in the frames libsndfile reads the file at.
std::optional<LoopPoints> readLoopPoints(int fd, const SF_INFO& info);

// How many of the 48 kHz samples an Opus file's loop comments count make a
// frame as libsndfile decodes the file (at the rate its header names, where
// Opus carries it): 1 for every other file.
std::uint64_t opusPositionScale(const SF_INFO& info);

enum class AudioKept {
    Same, // every frame as read, but a blended stretch: everything stays, but old loop points
    New,  // a new loop: what describes the recording stays, what points into its old audio goes
};

// Writes `input`'s metadata into an output of `output`'s format and rate,
// and the loop when one is given (read back before the file takes its
// place), which replaces every loop the input marked; the loop counts the
// frames the output is read at. Between files of one
// kind, chunks, comments and blocks go along as they are; between kinds,
// the string set.
OutputExtras metadataWriter(const FileMetadata& input, const SF_INFO& output, AudioKept audio,
                            const std::optional<LoopPoints>& points);

} // namespace sorvane
