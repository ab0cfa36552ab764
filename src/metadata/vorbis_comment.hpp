#pragma once

#include <optional>
#include <string>
#include <vector>

#include "metadata/chunk_file.hpp"

namespace sorvane {

// The comment structure FLAC, Ogg Vorbis and Ogg Opus share: a vendor string
// and NAME=value comments, each as the file holds its bytes, so that empty
// values and values in any encoding go through untouched. TagLib drops both,
// which is why the structure is read and written here.
struct VorbisComment {
    std::string vendor;
    std::vector<std::string> comments;
    Bytes trailing; // what follows the comments (Opus may keep binary data there)
};

// From `bytes` starting at `at`; nothing when they are not such a structure.
std::optional<VorbisComment> parseVorbisComment(const Bytes& bytes, std::size_t at = 0);
Bytes renderVorbisComment(const VorbisComment& comment);

// A comment's name in capitals (names are case-blind), or "" when it has no '='.
std::string commentName(const std::string& comment);

} // namespace sorvane
