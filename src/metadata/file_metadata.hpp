#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sndfile.h>

#include "audio_io/output_extras.hpp"
#include "metadata/chunk_file.hpp"
#include "metadata/loop_points.hpp"
#include "metadata/string_set.hpp"
#include "metadata/xiph_comments.hpp"

namespace sorvane {

// What a file carries besides its audio: its tags in libsndfile's string set,
// and, as they are, the chunks of a WAV or AIFF file or the comments and
// pictures of a FLAC or Ogg file.
struct FileMetadata {
    int format = 0; // the file's libsndfile format
    StringSet strings;
    std::vector<Chunk> chunks; // less those libsndfile writes itself
    std::optional<XiphTags> xiph;
};

// Read from a file open for reading at `path` ("-" for standard input, whose
// comments cannot be read again); `fileBytes` is its size when it is a
// regular file, whose chunks can be read.
FileMetadata readMetadata(SNDFILE* file, const SF_INFO& info, const std::string& path,
                          std::optional<std::uint64_t> fileBytes);

// The loop a file marks for samplers, if it marks one: the first loop of a
// WAV `smpl` or an AIFF `INST` chunk (as libsndfile reads them), or the
// LOOPSTART and LOOPLENGTH comments of a FLAC or Ogg file at `path`.
std::optional<LoopPoints> readLoopPoints(SNDFILE* file, const SF_INFO& info, const std::string& path);

enum class AudioKept {
    Same, // every frame as read, but a blended stretch: everything stays, but old loop points
    New,  // a new loop: what describes the recording stays, what points into its old audio goes
};

// Writes `input`'s metadata into an output of `outputFormat`, and the loop
// when one is given (read back before the file takes its place). Between
// files of one kind, chunks or comments go along as they are; between kinds,
// the string set.
OutputExtras metadataWriter(const FileMetadata& input, int outputFormat, AudioKept audio,
                            const std::optional<LoopPoints>& points);

} // namespace sorvane
