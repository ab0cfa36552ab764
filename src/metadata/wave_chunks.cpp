#include "metadata/wave_chunks.hpp"

#include <algorithm>
#include <cstring>

namespace sorvane {

const std::vector<std::string>& waveChunksOfTheLibrary() {
    static const std::vector<std::string> ids = {"RIFF", "RIFX", "RF64", "fmt ", "data", "fact",
                                                 "ds64", "PEAK", "JUNK", "junk", "PAD ", "FLLR"};
    return ids;
}

bool waveChunkPointsIntoAudio(const Chunk& chunk) {
    static const std::vector<std::string> ids = {"cue ", "smpl", "inst", "acid", "plst", "levl", "r64m", "regn"};
    if (chunk.id == "LIST") {
        // Labels and notes of cue points; INFO describes the recording.
        return chunk.data.size() >= 4 && std::memcmp(chunk.data.data(), "adtl", 4) == 0;
    }
    return std::find(ids.begin(), ids.end(), chunk.id) != ids.end();
}

std::optional<std::string> setWaveLoop(SNDFILE* file, const LoopPoints& points) {
    if (points.end > 0xFFFFFFFFU) {
        return std::string("the loop ends beyond the frames a smpl chunk can count (2^32)");
    }
    SF_INSTRUMENT instrument{};
    // Without a pitch, middle C: what a sampler assumes of a sample with no note.
    const UnityNote unity = unityNoteOf(points.midiNote.value_or(60.0));
    instrument.gain = 1;
    instrument.basenote = static_cast<char>(unity.note);
    instrument.detune = static_cast<char>(unity.centsAbove);
    instrument.key_lo = 0;
    instrument.key_hi = 127;
    instrument.velocity_lo = 0;
    instrument.velocity_hi = 127;
    instrument.loop_count = 1;
    instrument.loops[0].mode = SF_LOOP_FORWARD;
    // libsndfile takes the end as one past the last frame.
    instrument.loops[0].start = static_cast<std::uint32_t>(points.start);
    instrument.loops[0].end = static_cast<std::uint32_t>(points.end);
    instrument.loops[0].count = 0; // for ever
    if (sf_command(file, SFC_SET_INSTRUMENT, &instrument, sizeof instrument) != SF_TRUE) {
        return std::string("libsndfile would not take the loop points");
    }
    return std::nullopt;
}

std::optional<std::string> checkWaveLoop(int fd, off_t base, const LoopPoints& points) {
    FileReader file;
    std::optional<Bytes> smpl;
    if (std::optional<std::string> failure = file.open(fd, base)) {
        return failure;
    }
    if (std::optional<std::string> failure = readChunk(file, "smpl", smpl)) {
        return failure;
    }
    if (!smpl || smpl->size() < 36 + 24 || little32(*smpl, 28) < 1) {
        return std::string(kLoopPointsLost) + "no smpl chunk with a loop";
    }
    // The chunk stores the last frame of the loop, not the one after it.
    const std::size_t loop = 36;
    if (little32(*smpl, loop + 4) != 0 || little32(*smpl, loop + 8) != points.start ||
        std::uint64_t{little32(*smpl, loop + 12)} + 1 != points.end) {
        return std::string(kLoopPointsLost) + "the smpl chunk holds " + std::to_string(little32(*smpl, loop + 8)) +
               " to " + std::to_string(little32(*smpl, loop + 12)) + " inclusive";
    }
    return std::nullopt;
}

} // namespace sorvane
