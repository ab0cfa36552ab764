#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sndfile.h>

namespace sorvane {

// libsndfile's string set (title, artist, copyright, ...), which it reads
// from and writes to every format with tags (WAV and AIFF chunks, FLAC and
// Ogg comments, MP3 ID3, CAF): the one way tags travel between formats.
using StringSet = std::vector<std::pair<int, std::string>>;

// Every value as UTF-8 (see utf8FromTag).
StringSet readStringSet(SNDFILE* file);

// Whether libsndfile keeps a string set in files of `format`.
bool takesStringSet(int format);

// On a file opened for writing in such a format, before its first frame.
std::optional<std::string> writeStringSet(SNDFILE* file, const StringSet& strings);

} // namespace sorvane
