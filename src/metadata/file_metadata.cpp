#include "metadata/file_metadata.hpp"

#include <memory>
#include <variant>

#include "metadata/aiff_chunks.hpp"
#include "metadata/wave_chunks.hpp"

namespace sorvane {

namespace {

// Wave64's loop is read from a `smpl` chunk as WAV's is, under a GUID, but
// none is written: libsndfile and ffmpeg read a Wave64 file's audio on to
// its end, so a chunk after the audio would play as noise.
enum class Family { Riff, Iff, Wave64, Xiph, Other };

Family familyOf(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
        return Family::Riff;
    case SF_FORMAT_AIFF:
        return Family::Iff;
    case SF_FORMAT_W64:
        return Family::Wave64;
    default:
        return loopCarrierOf(format) == LoopCarrier::XiphComments ? Family::Xiph : Family::Other;
    }
}

} // namespace

FileMetadata readMetadata(SNDFILE* file, const std::shared_ptr<const FileDescriptor>& fd, const SF_INFO& info,
                          std::optional<std::uint64_t> fileBytes) {
    FileMetadata metadata;
    metadata.format = info.format;
    metadata.strings = readStringSet(file);
    if (!fileBytes) {
        return metadata;
    }
    switch (familyOf(info.format)) {
    case Family::Riff:
        metadata.chunks = readChunks(fd, waveChunksOfTheLibrary());
        break;
    case Family::Iff:
        metadata.chunks = readChunks(fd, aiffChunksOfTheLibrary());
        break;
    case Family::Xiph:
        metadata.xiph = readXiphTags(fd->get(), 0, info.format);
        break;
    case Family::Wave64:
    case Family::Other:
        break;
    }
    return metadata;
}

std::optional<LoopPoints> readLoopPoints(int fd, const SF_INFO& info) {
    FileReader file;
    if (file.open(fd, 0)) {
        return std::nullopt;
    }
    std::optional<Bytes> first;
    std::optional<Bytes> second;
    switch (familyOf(info.format)) {
    case Family::Riff:
    case Family::Wave64:
        if (readChunk(file, "smpl", first) || !first) {
            return std::nullopt;
        }
        return waveLoopOf(Chunk("smpl", std::move(*first)));
    case Family::Iff:
        if (readChunk(file, "INST", first) || readChunk(file, "MARK", second) || !first || !second) {
            return std::nullopt;
        }
        return aiffLoopOf(*first, *second);
    case Family::Xiph: {
        const std::optional<XiphTags> tags = readXiphTags(fd, 0, info.format);
        std::optional<LoopPoints> points = tags ? xiphLoopOf(tags->comments) : std::nullopt;
        if (points) {
            // In the frames the file is read at, which for Opus may be fewer.
            const std::uint64_t scale = opusPositionScale(info);
            points->start = (points->start + scale / 2) / scale;
            points->end = (points->end + scale / 2) / scale;
        }
        return points;
    }
    case Family::Other:
        break;
    }
    return std::nullopt;
}

std::uint64_t opusPositionScale(const SF_INFO& info) {
    const bool opus = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG && (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS;
    if (!opus || info.samplerate <= 0 || 48000 % info.samplerate != 0) {
        return 1;
    }
    return static_cast<std::uint64_t>(48000 / info.samplerate);
}

OutputExtras metadataWriter(const FileMetadata& input, const SF_INFO& output, AudioKept audio,
                            const std::optional<LoopPoints>& framePoints) {
    // Players read an Opus file's loop in 48 kHz samples, whatever rate
    // libsndfile decodes it at.
    std::optional<LoopPoints> points = framePoints;
    if (points) {
        points->start *= opusPositionScale(output);
        points->end *= opusPositionScale(output);
    }
    const int outputFormat = output.format;
    const Family from = familyOf(input.format);
    const Family to = familyOf(outputFormat);
    // Chunks are written by hand after the file is closed, never through
    // libsndfile's sf_set_chunk: its list of chunks is fixed in size and
    // overflows on a file of many, and it pads each to four bytes.
    auto chunks = std::make_shared<std::vector<Chunk>>();
    auto strings = std::make_shared<StringSet>();
    auto xiph = std::make_shared<std::optional<XiphTags>>();

    if (from == to && (from == Family::Riff || from == Family::Iff)) {
        for (const Chunk& chunk : input.chunks) {
            const bool pointsIntoAudio =
                from == Family::Riff ? waveChunkPointsIntoAudio(chunk) : aiffChunkPointsIntoAudio(chunk);
            // A file marks one loop: the new one replaces whatever marked the old.
            const bool replacedByLoop = points && from == Family::Riff && waveChunkCarriesLoop(chunk);
            if ((audio == AudioKept::New && pointsIntoAudio) || replacedByLoop) {
                continue;
            }
            chunks->push_back(chunk);
        }
    } else if (from == to && from == Family::Xiph) {
        if (input.xiph) {
            const bool toFlac = (outputFormat & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC;
            XiphTags kept;
            for (const std::string& comment : input.xiph->comments) {
                if (!(xiphCommentPointsIntoAudio(comment) && (points || audio == AudioKept::New))) {
                    kept.comments.push_back(comment);
                }
            }
            // Blocks and ID3v2 tags have a place in FLAC alone; a picture
            // becomes a comment in Ogg.
            for (const FlacBlock& block : input.xiph->blocks) {
                const bool fits = toFlac || block.type == kFlacPicture;
                if (fits && !(audio == AudioKept::New && flacBlockPointsIntoAudio(block))) {
                    kept.blocks.push_back(block);
                }
            }
            if (toFlac) {
                kept.id3v2 = input.xiph->id3v2;
            }
            *xiph = std::move(kept);
        }
    } else if (takesStringSet(outputFormat)) {
        *strings = input.strings;
    }
    std::optional<std::string> refused;
    if (points && to == Family::Iff) {
        // The AIFF loop merges with the markers kept, whose INST it replaces.
        const std::vector<Chunk> loop = aiffLoopChunks(*points, *chunks);
        chunks->insert(chunks->end(), loop.begin(), loop.end());
        if (loop.empty()) {
            refused = "no marker id is free for the loop";
        }
    } else if (points && to == Family::Riff) {
        std::variant<Chunk, std::string> smpl = waveLoopChunk(*points, output.samplerate);
        if (auto* chunk = std::get_if<Chunk>(&smpl)) {
            chunks->push_back(std::move(*chunk));
        } else {
            refused = std::get<std::string>(smpl);
        }
    }

    OutputExtras extras;
    extras.needsFile = points.has_value();
    // A pipe gets no chunks, comments or blocks, which are added once the
    // file is complete: it keeps the tags the header holds instead.
    if (takesStringSet(outputFormat)) {
        extras.headerStrings = *strings;
        extras.headerStringsStreamed = strings->empty() ? input.strings : *strings;
        if (strings->empty() && !input.strings.empty()) {
            extras.beforeFramesStreamed = [streamed = extras.headerStringsStreamed](SNDFILE* file) {
                return writeStringSet(file, streamed);
            };
        }
    }
    extras.beforeFrames = [=](SNDFILE* file) -> std::optional<std::string> {
        if (refused) {
            return refused;
        }
        return writeStringSet(file, *strings);
    };
    if (!chunks->empty() || xiph->has_value() || points) {
        extras.afterClose = [=](int fd, off_t base) -> std::optional<std::string> {
            if (std::optional<std::string> failure = appendChunks(fd, base, *chunks)) {
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
