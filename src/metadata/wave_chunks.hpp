#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <sndfile.h>

#include "metadata/chunk_file.hpp"
#include "metadata/loop_points.hpp"

namespace sorvane {

// The chunks of a WAV or RF64 file that libsndfile writes itself, or that
// frame the audio: never copied from one file to another.
const std::vector<std::string>& waveChunksOfTheLibrary();

// Whether a WAV chunk points into the audio it came with (cue points, loops,
// labels, tempo maps, peak levels), so that it means nothing beside new audio.
bool waveChunkPointsIntoAudio(const Chunk& chunk);

// Sets the loop in the `smpl` chunk libsndfile writes with the header, on a
// file opened for writing before its first frame.
std::optional<std::string> setWaveLoop(SNDFILE* file, const LoopPoints& points);

// Reads the `smpl` chunk back from the finished file; nothing when it holds the loop.
std::optional<std::string> checkWaveLoop(int fd, off_t base, const LoopPoints& points);

} // namespace sorvane
