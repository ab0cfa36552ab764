#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "metadata/chunk_file.hpp"
#include "metadata/loop_points.hpp"

namespace sorvane {

// The comments and pictures of a FLAC, Ogg Vorbis or Ogg Opus file.
struct XiphTags {
    std::vector<std::pair<std::string, std::string>> fields; // name and UTF-8 value, as TagLib reads them
    std::vector<Bytes> pictures;                             // FLAC picture blocks
};

// The tags of the file at `path` (of libsndfile format `format`), through
// TagLib; nothing when it has none or cannot be read.
std::optional<XiphTags> readXiphTags(const std::string& path, int format);

// Whether a comment points into the audio it came with: loop points.
bool xiphFieldPointsIntoAudio(const std::string& name);

// Writes `tags` into the finished FLAC, Ogg Vorbis or Ogg Opus file behind
// `fd` (from `base`), each named field's values replacing those there, and
// every picture; then the loop, when given, as LOOPSTART and LOOPLENGTH,
// which are read back. Nothing, or why it failed.
std::optional<std::string> writeXiphTags(int fd, off_t base, int format, const XiphTags& tags,
                                         const std::optional<LoopPoints>& points);

} // namespace sorvane
