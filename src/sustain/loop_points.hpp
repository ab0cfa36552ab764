#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <sys/types.h>

#include "audio_io/audio_io.hpp"

namespace sorvane {

// A forward loop over frames [start, end), and the note the sample sounds.
struct LoopPoints {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    double midiNote = 60.0; // with a fraction; 60 (middle C) when unpitched
};

// How a format carries loop points: WAV in its `smpl` chunk, AIFF in `MARK`
// and `INST` chunks, FLAC and Ogg in LOOPSTART and LOOPLENGTH comments.
enum class LoopCarrier { WaveSampler, AiffInstrument, XiphComments };

// Nothing when the format (a libsndfile format code) has no place samplers
// read loop points from.
std::optional<LoopCarrier> loopCarrierOf(int format);

// The container's name, as libsndfile gives it ("AU (Sun/Next)").
std::string containerName(int format);

// Writes the points into the file as it is written, and reads them back from
// the complete file before it takes its place: a file whose points did not
// survive fails the write. `format` is the file's, one with a carrier.
OutputExtras loopPointWriter(int format, const LoopPoints& points);

// The unity note and the fraction of a semitone above it, as a `smpl` chunk
// has them (the fraction in cents, 0 to 99).
struct UnityNote {
    int note = 60;
    int centsAbove = 0;
};
UnityNote unityNoteOf(double midiNote);

} // namespace sorvane
