#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "instrument/key_map.hpp"

namespace sorvane {

// One loop on the page: the file it plays (embedded byte for byte), where
// it loops, what the seam judge said and its picture.
struct AuditionLoop {
    std::string name;
    std::string audioFile; // read and embedded as it is
    int audioFd = -1;      // else this open file, read from its start
    std::string mimeType;  // "audio/flac", "audio/wav", "audio/ogg", "audio/mpeg"
    int sampleRate = 44100;
    int channels = 1;
    std::uint64_t frames = 0;
    std::uint64_t loopStart = 0;
    std::uint64_t loopEnd = 0; // one past the loop's last frame
    std::optional<double> midiNote; // the note it sounds, with a fraction
    std::string verdict;
    std::vector<std::string> rules; // the rules that fired
    std::string svg;                // the seam picture
    // For an instrument: where the sample plays and how.
    std::optional<KeyZone> zone;
    int root = 60;
    int tuneCents = 0;
    double releaseSeconds = 0.3;
};

// Writes the audition page to `fd`: one self-contained HTML file (no server,
// no network) with a row per loop, buttons that play the note with its loop
// until stopped and then its release, or its seam over and over, and, for
// an instrument, a keyboard that plays it as the SFZ maps it. Opened as
// PAGE#selftest, it renders every loop offline and writes into the page
// whether the rendered wrap equals the file's frames at the loop points.
// Nothing on success, else why it could not be written.
std::optional<std::string> writeAuditionPage(int fd, const std::string& title, const std::vector<AuditionLoop>& loops,
                                             bool instrument, const std::string& madeBy);

// The MIME type a browser decodes a file of this libsndfile format as, or
// nothing for a format browsers do not decode (AIFF, AU, CAF and the rest).
std::optional<std::string> browserMimeType(int format);

} // namespace sorvane
