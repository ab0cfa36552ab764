#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sorvane {

// A forward loop over frames [start, end), and the note the sample sounds.
struct LoopPoints {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::optional<double> midiNote; // with a fraction; none for a sound without a pitch
};

// How a format carries loop points: WAV and RF64 in a `smpl` chunk, AIFF in `MARK`
// and `INST` chunks, FLAC and Ogg in LOOPSTART and LOOPLENGTH comments.
enum class LoopCarrier { WaveSampler, AiffInstrument, XiphComments };

// Nothing when the format (a libsndfile format code) has no place samplers
// read loop points from.
std::optional<LoopCarrier> loopCarrierOf(int format);

// The container's name, as libsndfile gives it ("AU (Sun/Next)").
std::string containerName(int format);

// The unity note and the fraction of a semitone above it, as a `smpl` chunk
// has them (the fraction in cents, 0 to 99).
struct UnityNote {
    int note = 60;
    int centsAbove = 0;
};
UnityNote unityNoteOf(double midiNote);

// The words a failed read-back starts with.
constexpr const char* kLoopPointsLost = "the loop points did not survive writing: ";

} // namespace sorvane
