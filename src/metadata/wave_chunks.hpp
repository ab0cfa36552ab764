#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <sys/types.h>

#include "metadata/chunk_file.hpp"
#include "metadata/loop_points.hpp"

namespace sorvane {

// The chunks of a WAV or RF64 file that libsndfile writes itself, or that
// frame the audio: never copied from one file to another.
const std::vector<std::string>& waveChunksOfTheLibrary();

// Whether a WAV chunk points into the audio it came with (cue points, loops,
// labels, tempo maps, peak levels), so that it means nothing beside new audio.
bool waveChunkPointsIntoAudio(const Chunk& chunk);

// Whether a WAV chunk says where a sampler loops (`smpl`, `inst`): a file
// carries one loop, so a new loop replaces them all.
bool waveChunkCarriesLoop(const Chunk& chunk);

// The `smpl` chunk of the loop, or why it cannot hold it. It is written by
// hand for WAV and RF64 alike: libsndfile writes none into RF64, and one
// writer for both keeps them alike.
std::variant<Chunk, std::string> waveLoopChunk(const LoopPoints& points, int sampleRate);

// The first loop of a `smpl` chunk, if it holds one.
std::optional<LoopPoints> waveLoopOf(const Chunk& smpl);

// Reads the `smpl` chunk back from the finished file; nothing when it holds the loop.
std::optional<std::string> checkWaveLoop(int fd, off_t base, const LoopPoints& points);

} // namespace sorvane
