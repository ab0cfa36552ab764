#include "metadata/aiff_chunks.hpp"

#include <algorithm>
#include <cmath>
#include <set>

namespace sorvane {

namespace {

struct Marker {
    std::uint16_t id = 0;
    std::uint32_t position = 0;
    std::string name;
};

std::vector<Marker> markersOf(const Bytes& mark) {
    std::vector<Marker> markers;
    std::size_t at = 2;
    for (std::uint16_t i = 0; mark.size() >= 2 && i < big16(mark, 0) && at + 7 <= mark.size(); ++i) {
        Marker m;
        m.id = big16(mark, at);
        m.position = big32(mark, at + 2);
        const std::size_t length = mark[at + 6];
        m.name.assign(mark.begin() + static_cast<std::ptrdiff_t>(std::min(mark.size(), at + 7)),
                      mark.begin() + static_cast<std::ptrdiff_t>(std::min(mark.size(), at + 7 + length)));
        markers.push_back(m);
        at += 6 + ((1 + length + 1) & ~std::size_t{1});
    }
    return markers;
}

void putMarker(Bytes& b, const Marker& m) {
    putBig16(b, m.id);
    putBig32(b, m.position);
    b.push_back(static_cast<unsigned char>(m.name.size()));
    b.insert(b.end(), m.name.begin(), m.name.end());
    if ((1 + m.name.size()) % 2 != 0) {
        b.push_back(0);
    }
}

const Chunk* find(const std::vector<Chunk>& chunks, const char* id) {
    const auto found = std::find_if(chunks.begin(), chunks.end(), [&](const Chunk& c) { return c.id == id; });
    return found == chunks.end() ? nullptr : &*found;
}

} // namespace

const std::vector<std::string>& aiffChunksOfTheLibrary() {
    static const std::vector<std::string> ids = {"FORM", "COMM", "SSND", "FVER", "PEAK"};
    return ids;
}

bool aiffChunkPointsIntoAudio(const Chunk& chunk) { return chunk.id == "MARK" || chunk.id == "INST"; }

std::vector<Chunk> aiffLoopChunks(const LoopPoints& points, std::vector<Chunk>& kept) {
    std::vector<Marker> markers;
    if (const Chunk* mark = find(kept, "MARK")) {
        markers = markersOf(mark->data);
    }
    if (const Chunk* inst = find(kept, "INST"); inst != nullptr && inst->data.size() >= 20) {
        // The old loops' markers (sustain, then release) go with them.
        const std::set<std::uint16_t> used = {big16(inst->data, 10), big16(inst->data, 12), big16(inst->data, 16),
                                              big16(inst->data, 18)};
        markers.erase(std::remove_if(markers.begin(), markers.end(),
                                     [&](const Marker& m) { return used.count(m.id) > 0; }),
                      markers.end());
    }
    kept.erase(std::remove_if(kept.begin(), kept.end(), [](const Chunk& c) { return aiffChunkPointsIntoAudio(c); }),
               kept.end());
    // Marker ids run from 1 to 32767: the lowest two that no kept marker has.
    std::set<std::uint16_t> taken;
    for (const Marker& m : markers) {
        taken.insert(m.id);
    }
    std::uint16_t beginId = 1;
    while (taken.count(beginId) != 0) {
        ++beginId;
    }
    auto endId = static_cast<std::uint16_t>(beginId + 1);
    while (taken.count(endId) != 0) {
        ++endId;
    }
    if (endId > 32767) {
        return {}; // a MARK chunk holds at most 65535 markers: only a forged one comes here
    }
    // AIFF markers sit between frames: the loop runs from the marker before
    // its first frame to the one after its last.
    markers.push_back({beginId, static_cast<std::uint32_t>(points.start), "loop start"});
    markers.push_back({endId, static_cast<std::uint32_t>(points.end), "loop end"});
    Chunk mark{"MARK", {}};
    putBig16(mark.data, static_cast<std::uint16_t>(markers.size()));
    for (const Marker& m : markers) {
        putMarker(mark.data, m);
    }

    // The detune says how far to bend the sample to sound its base note.
    const double midi = points.midiNote.value_or(60.0);
    const long note = std::lround(midi);
    const long cents = std::lround((midi - static_cast<double>(note)) * 100.0);
    Chunk inst{"INST", {}};
    inst.data.push_back(static_cast<unsigned char>(std::clamp(note, 0L, 127L)));
    inst.data.push_back(static_cast<unsigned char>(static_cast<signed char>(std::clamp(-cents, -50L, 50L))));
    for (const int range : {0, 127, 1, 127}) { // notes, then velocities
        inst.data.push_back(static_cast<unsigned char>(range));
    }
    putBig16(inst.data, 0); // gain, dB
    putBig16(inst.data, 1); // the sustain loop, forward, between the two markers
    putBig16(inst.data, beginId);
    putBig16(inst.data, endId);
    for (int v = 0; v < 3; ++v) { // no release loop
        putBig16(inst.data, 0);
    }
    mark.size = mark.data.size();
    inst.size = inst.data.size();
    return {mark, inst};
}

std::optional<LoopPoints> aiffLoopOf(const Bytes& inst, const Bytes& mark) {
    if (inst.size() < 20 || mark.size() < 2 || big16(inst, 8) == 0) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> begin;
    std::optional<std::uint32_t> end;
    for (const Marker& m : markersOf(mark)) {
        if (m.id == big16(inst, 10)) {
            begin = m.position;
        }
        if (m.id == big16(inst, 12)) {
            end = m.position;
        }
    }
    if (!begin || !end) {
        return std::nullopt;
    }
    LoopPoints points;
    points.start = *begin;
    points.end = *end;
    return points;
}

std::optional<std::string> checkAiffLoop(int fd, off_t base, const LoopPoints& points) {
    FileReader file;
    if (std::optional<std::string> failure = file.open(fd, base)) {
        return failure;
    }
    std::optional<Bytes> inst;
    std::optional<Bytes> mark;
    for (auto [id, chunk] : {std::pair{"INST", &inst}, std::pair{"MARK", &mark}}) {
        if (std::optional<std::string> failure = readChunk(file, id, *chunk)) {
            return failure;
        }
    }
    if (!inst || !mark || inst->size() < 20 || mark->size() < 2) {
        return std::string(kLoopPointsLost) + "no INST and MARK chunks";
    }
    std::optional<std::uint32_t> begin;
    std::optional<std::uint32_t> end;
    for (const Marker& m : markersOf(*mark)) {
        if (m.id == big16(*inst, 10)) {
            begin = m.position;
        }
        if (m.id == big16(*inst, 12)) {
            end = m.position;
        }
    }
    if (big16(*inst, 8) != 1 || !begin || !end || *begin != points.start || *end != points.end) {
        return std::string(kLoopPointsLost) + "the INST chunk's sustain loop is not " + std::to_string(points.start) +
               " to " + std::to_string(points.end);
    }
    return std::nullopt;
}

} // namespace sorvane
