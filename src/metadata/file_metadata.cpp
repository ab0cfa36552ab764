#include "metadata/file_metadata.hpp"

#include <memory>

#include "metadata/aiff_chunks.hpp"
#include "metadata/wave_chunks.hpp"

namespace sorvane {

namespace {

enum class Family { Riff, Iff, Xiph, Other };

Family familyOf(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
        return Family::Riff;
    case SF_FORMAT_AIFF:
        return Family::Iff;
    default:
        return loopCarrierOf(format) == LoopCarrier::XiphComments ? Family::Xiph : Family::Other;
    }
}

// libsndfile writes custom chunks into the header it holds in memory, of
// at most 100 KiB with everything else it puts there, and pads each to a
// multiple of four bytes, changing its size: only chunks that need no pad,
// and no more of them than leaves the header room, go that way; the rest
// are added by hand after the file is closed.
constexpr std::size_t kLibraryChunkBytes = 32 << 10;

} // namespace

FileMetadata readMetadata(SNDFILE* file, const SF_INFO& info, const std::string& path,
                          std::optional<std::uint64_t> fileBytes) {
    FileMetadata metadata;
    metadata.format = info.format;
    metadata.strings = readStringSet(file);
    switch (familyOf(info.format)) {
    case Family::Riff:
        if (fileBytes) {
            metadata.chunks = readChunks(file, waveChunksOfTheLibrary(), *fileBytes);
        }
        break;
    case Family::Iff:
        if (fileBytes) {
            metadata.chunks = readChunks(file, aiffChunksOfTheLibrary(), *fileBytes);
        }
        break;
    case Family::Xiph:
        if (path != "-") {
            metadata.xiph = readXiphTags(path, info.format);
        }
        break;
    case Family::Other:
        break;
    }
    return metadata;
}

std::optional<LoopPoints> readLoopPoints(SNDFILE* file, const SF_INFO& info, const std::string& path) {
    LoopPoints points;
    switch (familyOf(info.format)) {
    case Family::Riff:
    case Family::Iff: {
        SF_INSTRUMENT instrument{};
        if (sf_command(file, SFC_GET_INSTRUMENT, &instrument, sizeof instrument) != SF_TRUE ||
            instrument.loop_count < 1 || instrument.loops[0].mode == SF_LOOP_NONE) {
            return std::nullopt;
        }
        points.start = instrument.loops[0].start;
        points.end = instrument.loops[0].end; // one past the last frame, as libsndfile reads both
        break;
    }
    case Family::Xiph: {
        const std::optional<XiphTags> tags = path == "-" ? std::nullopt : readXiphTags(path, info.format);
        std::optional<std::uint64_t> start;
        std::optional<std::uint64_t> length;
        for (const auto& [name, value] : tags ? tags->fields : std::vector<std::pair<std::string, std::string>>{}) {
            const bool digits = !value.empty() && value.size() <= 18 &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            if (digits && name == "LOOPSTART") {
                start = std::stoull(value);
            } else if (digits && name == "LOOPLENGTH") {
                length = std::stoull(value);
            }
        }
        if (!start || !length) {
            return std::nullopt;
        }
        points.start = *start;
        points.end = *start + *length;
        break;
    }
    case Family::Other:
        return std::nullopt;
    }
    return points;
}

OutputExtras metadataWriter(const FileMetadata& input, int outputFormat, AudioKept audio,
                            const std::optional<LoopPoints>& points) {
    const Family from = familyOf(input.format);
    const Family to = familyOf(outputFormat);
    auto libraryChunks = std::make_shared<std::vector<Chunk>>();
    auto handChunks = std::make_shared<std::vector<Chunk>>();
    auto strings = std::make_shared<StringSet>();
    auto xiph = std::make_shared<std::optional<XiphTags>>();

    std::vector<Chunk> kept;
    if (from == to && (from == Family::Riff || from == Family::Iff)) {
        for (const Chunk& chunk : input.chunks) {
            const bool pointsIntoAudio =
                from == Family::Riff ? waveChunkPointsIntoAudio(chunk) : aiffChunkPointsIntoAudio(chunk);
            const bool replacedByLoop = points && from == Family::Riff && chunk.id == "smpl";
            if ((audio == AudioKept::New && pointsIntoAudio) || replacedByLoop) {
                continue;
            }
            kept.push_back(chunk);
        }
    } else if (from == to && from == Family::Xiph) {
        if (input.xiph) {
            XiphTags keptTags;
            keptTags.pictures = input.xiph->pictures;
            for (const auto& field : input.xiph->fields) {
                if (!xiphFieldPointsIntoAudio(field.first)) {
                    keptTags.fields.push_back(field);
                }
            }
            *xiph = std::move(keptTags);
        }
    } else if (takesStringSet(outputFormat)) {
        *strings = input.strings;
    }
    // The AIFF loop merges with the markers kept, whose INST it replaces.
    const std::vector<Chunk> loop = points && to == Family::Iff ? aiffLoopChunks(*points, kept) : std::vector<Chunk>{};
    std::size_t room = kLibraryChunkBytes;
    for (Chunk& chunk : kept) {
        const bool fits = chunk.data.size() % 4 == 0 && chunk.data.size() + 8 <= room;
        room -= fits ? chunk.data.size() + 8 : 0;
        (fits ? *libraryChunks : *handChunks).push_back(std::move(chunk));
    }
    handChunks->insert(handChunks->end(), loop.begin(), loop.end());

    OutputExtras extras;
    extras.needsFile = points.has_value();
    extras.beforeFrames = [=](SNDFILE* file) -> std::optional<std::string> {
        if (std::optional<std::string> failure = writeStringSet(file, *strings)) {
            return failure;
        }
        for (const Chunk& chunk : *libraryChunks) {
            SF_CHUNK_INFO info{};
            chunk.id.copy(info.id, 4);
            info.id_size = 4;
            info.datalen = static_cast<unsigned>(chunk.data.size());
            info.data = const_cast<unsigned char*>(chunk.data.data());
            if (sf_set_chunk(file, &info) != SF_ERR_NO_ERROR) {
                return "libsndfile would not take the " + chunk.id + " chunk";
            }
        }
        if (points && to == Family::Riff) {
            return setWaveLoop(file, *points);
        }
        return std::nullopt;
    };
    if (!handChunks->empty() || xiph->has_value() || points) {
        extras.afterClose = [=](int fd, off_t base) -> std::optional<std::string> {
            if (std::optional<std::string> failure = appendChunks(fd, base, *handChunks)) {
                return failure;
            }
            if (to == Family::Xiph && (xiph->has_value() || points)) {
                return writeXiphTags(fd, base, outputFormat, xiph->value_or(XiphTags{}), points);
            }
            if (points && to == Family::Riff) {
                return checkWaveLoop(fd, base, *points);
            }
            if (points && to == Family::Iff) {
                return checkAiffLoop(fd, base, *points);
            }
            return std::nullopt;
        };
    }
    return extras;
}

} // namespace sorvane
