#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "metadata/chunk_file.hpp"
#include "metadata/flac_blocks.hpp"
#include "metadata/loop_points.hpp"

namespace sorvane {

// What a FLAC, Ogg Vorbis or Ogg Opus file carries besides its audio.
struct XiphTags {
    std::vector<std::string> comments; // NAME=value, each as the file holds its bytes
    // FLAC only: every block but the stream's own (STREAMINFO, seek table,
    // padding) and the comments, as it is: pictures, applications' data
    // (`flac --keep-foreign-metadata` keeps a WAV's chunks there), cue sheets.
    std::vector<FlacBlock> blocks;
    Bytes id3v2; // FLAC only: ID3v2 tags before the stream
};

// The tags of the file behind `fd` (from `base`, of libsndfile format
// `format`); nothing when it has none or cannot be read.
std::optional<XiphTags> readXiphTags(int fd, off_t base, int format);

// Whether a comment (NAME=value) points into the audio it came with: loop points.
bool xiphCommentPointsIntoAudio(const std::string& comment);

// Whether a FLAC block points into the audio it came with: a cue sheet, or
// another container's chunks around the audio kept by `flac`.
bool flacBlockPointsIntoAudio(const FlacBlock& block);

// Writes `tags` into the finished FLAC, Ogg Vorbis or Ogg Opus file behind
// `fd` (from `base`), after the comments the file has; then the loop, when
// given, as LOOPSTART and LOOPLENGTH, which are read back. Nothing, or why
// it failed.
std::optional<std::string> writeXiphTags(int fd, off_t base, int format, const XiphTags& tags,
                                         const std::optional<LoopPoints>& points);

// The LOOPSTART and LOOPLENGTH comments as a loop, when both are whole numbers.
std::optional<LoopPoints> xiphLoopOf(const std::vector<std::string>& comments);

} // namespace sorvane
