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

bool waveChunkCarriesLoop(const Chunk& chunk) { return chunk.id == "smpl" || chunk.id == "inst"; }

std::variant<Chunk, std::string> waveLoopChunk(const LoopPoints& points, int sampleRate) {
    if (points.end > 0xFFFFFFFFU || points.end == 0) {
        return std::string("the loop ends beyond the frames a smpl chunk can count (2^32)");
    }
    // Without a pitch, middle C: what a sampler assumes of a sample with no note.
    const UnityNote unity = unityNoteOf(points.midiNote.value_or(60.0));
    Bytes smpl;
    putLittle32(smpl, 0); // manufacturer
    putLittle32(smpl, 0); // product
    putLittle32(smpl, sampleRate > 0 ? static_cast<std::uint32_t>(1000000000LL / sampleRate) : 0); // ns a frame
    putLittle32(smpl, static_cast<std::uint32_t>(unity.note));
    // The fraction of a semitone above the unity note, in 2^-32 units.
    putLittle32(smpl, static_cast<std::uint32_t>(static_cast<std::uint64_t>(unity.centsAbove) * (std::uint64_t{1} << 32) / 100));
    putLittle32(smpl, 0); // SMPTE format
    putLittle32(smpl, 0); // SMPTE offset
    putLittle32(smpl, 1); // one loop
    putLittle32(smpl, 0); // no sampler data
    putLittle32(smpl, 0); // the loop's cue point id
    putLittle32(smpl, 0); // forward
    putLittle32(smpl, static_cast<std::uint32_t>(points.start));
    putLittle32(smpl, static_cast<std::uint32_t>(points.end - 1)); // the chunk holds the last frame, not the one after
    putLittle32(smpl, 0); // no fraction
    putLittle32(smpl, 0); // for ever
    return Chunk("smpl", std::move(smpl));
}

std::optional<LoopPoints> waveLoopOf(const Chunk& smpl) {
    if (smpl.id != "smpl" || !smpl.held() || smpl.data.size() < 36 + 24 || little32(smpl.data, 28) < 1) {
        return std::nullopt;
    }
    LoopPoints points;
    points.start = little32(smpl.data, 36 + 8);
    points.end = std::uint64_t{little32(smpl.data, 36 + 12)} + 1;
    return points;
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
