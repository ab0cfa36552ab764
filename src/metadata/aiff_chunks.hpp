#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "metadata/chunk_file.hpp"
#include "metadata/loop_points.hpp"

namespace sorvane {

// The chunks of an AIFF file that libsndfile writes itself, or that frame
// the audio: never copied from one file to another.
const std::vector<std::string>& aiffChunksOfTheLibrary();

// Whether an AIFF chunk points into the audio it came with (markers and the
// loops that use them).
bool aiffChunkPointsIntoAudio(const Chunk& chunk);

// The MARK and INST chunks that mark the loop as the sustain loop, libsndfile
// 1.2 writing no INST of its own. The markers of `kept` (the file's other
// chunks) stay, less those its old INST used; the old INST goes. Nothing
// when no marker id is free.
std::vector<Chunk> aiffLoopChunks(const LoopPoints& points, std::vector<Chunk>& kept);

// The sustain loop of an INST chunk between the markers of a MARK chunk.
std::optional<LoopPoints> aiffLoopOf(const Bytes& inst, const Bytes& mark);

// Reads the loop back from the finished file; nothing when it holds it.
std::optional<std::string> checkAiffLoop(int fd, off_t base, const LoopPoints& points);

} // namespace sorvane
