#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "instrument/key_map.hpp"

namespace sorvane {

// A looped note as an instrument plays it.
struct InstrumentSample {
    std::string file; // relative to the instrument's folder: samples/NAME.flac
    std::string name; // the note's own name
    int channels = 1;
    int sampleRate = 44100;
    int bits = 16; // 16, or 24 for a note finer than 16 bits
    std::uint64_t frames = 0;
    std::uint64_t loopStart = 0;
    std::uint64_t loopEnd = 0; // one past the loop's last frame
    int root = 60;             // the key the note sounds at, with tuneCents
    int tuneCents = 0;         // applied on playback: minus the cents the note sounds above its root
    KeyZone zone;
    double releaseSeconds = 0.0;
    // How the note was looped, for the report.
    std::string input;    // the note as given
    std::string rootFrom; // "name", "pitch", or "name and pitch" when they agree
    std::optional<double> foundNote; // the pitch found, as a MIDI note with a fraction
    std::size_t crossfadeFrames = 0;
    double levelChangeDb = 0.0;
    double flattenDb = 0.0;
    std::string verdict;
    std::vector<std::string> rules;
};

// A note that is not in the instrument, and why.
struct LeftOutNote {
    std::string input;
    std::string reason;
};

struct Instrument {
    std::string name;
    std::vector<InstrumentSample> samples; // in the order the notes were given
    std::vector<LeftOutNote> leftOut;
};

// The frames of a sample as SoundFont 2 holds them: per channel, the upper
// 16 bits of each frame and, for 24-bit notes, the 8 bits below them.
struct SampleWords {
    std::vector<std::vector<std::int16_t>> upper; // per channel
    std::vector<std::vector<std::uint8_t>> lower; // per channel; empty for a 16-bit note
};

} // namespace sorvane
