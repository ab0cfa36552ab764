#include "metadata/xiph_comments.hpp"

#include <algorithm>
#include <cstring>

#include <sndfile.h>
#include <taglib/oggfile.h>

#include "files/file_descriptor.hpp"
#include "metadata/descriptor_stream.hpp"
#include "metadata/vorbis_comment.hpp"

namespace sorvane {

namespace {

constexpr const char* kLoopStart = "LOOPSTART";
constexpr const char* kLoopLength = "LOOPLENGTH";

// An Ogg stream's packets, as TagLib pages them, with no view of its own of
// the comments: Ogg::File::save writes back exactly the packets set.
class OggPackets : public TagLib::Ogg::File {
public:
    explicit OggPackets(TagLib::IOStream* stream) : TagLib::Ogg::File(stream) {}
    TagLib::Tag* tag() const override { return nullptr; }
    TagLib::AudioProperties* audioProperties() const override { return nullptr; }
};

bool isFlac(int format) { return (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC; }

// The comment packet of Vorbis and Opus starts with a magic of its own.
std::string oggCommentMagic(int format) {
    return (format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS ? std::string("OpusTags") : std::string("\x03vorbis", 7);
}

std::optional<VorbisComment> oggComment(OggPackets& ogg, int format) {
    const TagLib::ByteVector packet = ogg.packet(1);
    const std::string magic = oggCommentMagic(format);
    if (!ogg.isValid() || packet.size() < magic.size() || std::memcmp(packet.data(), magic.data(), magic.size()) != 0) {
        return std::nullopt;
    }
    return parseVorbisComment(Bytes(packet.begin(), packet.end()), magic.size());
}

// The comments of the written file, less old loop points, then `tags`'s,
// then the loop.
void mergeComments(VorbisComment& comment, const std::vector<std::string>& added,
                   const std::optional<LoopPoints>& points) {
    comment.comments.erase(std::remove_if(comment.comments.begin(), comment.comments.end(),
                                          [&](const std::string& c) { return points && xiphCommentPointsIntoAudio(c); }),
                           comment.comments.end());
    comment.comments.insert(comment.comments.end(), added.begin(), added.end());
    if (points) {
        comment.comments.push_back(std::string(kLoopStart) + "=" + std::to_string(points->start));
        comment.comments.push_back(std::string(kLoopLength) + "=" + std::to_string(points->end - points->start));
    }
}

std::optional<std::string> writeFlac(int fd, off_t base, const XiphTags& tags, const std::optional<LoopPoints>& points) {
    FileReader file;
    if (std::optional<std::string> failure = file.open(fd, base)) {
        return failure;
    }
    const std::optional<FlacMetadata> written = readFlacMetadata(file);
    if (!written || written->blocks.empty()) {
        return std::string("libsndfile wrote no FLAC metadata to add the tags to");
    }
    FlacMetadata now;
    now.id3v2 = tags.id3v2;
    VorbisComment comment{"sorvane", {}, {}};
    for (const FlacBlock& block : written->blocks) {
        if (block.type == kFlacVorbisComment) {
            if (std::optional<VorbisComment> own = parseVorbisComment(block.data)) {
                comment = std::move(*own);
            }
        } else if (block.type == kFlacStreamInfo || block.type == kFlacSeekTable) {
            now.blocks.push_back(block);
        }
    }
    mergeComments(comment, tags.comments, points);
    now.blocks.push_back({kFlacVorbisComment, renderVorbisComment(comment)});
    now.blocks.insert(now.blocks.end(), tags.blocks.begin(), tags.blocks.end());
    return rewriteFlacMetadata(fd, base, written->audioOffset, now);
}

std::optional<std::string> writeOgg(int fd, off_t base, int format, const XiphTags& tags,
                                    const std::optional<LoopPoints>& points) {
    DescriptorStream stream(fd, base);
    OggPackets ogg(&stream);
    std::optional<VorbisComment> comment = oggComment(ogg, format);
    if (!comment) {
        return stream.error() != 0 ? systemErrorText(stream.error())
                                   : std::string("TagLib cannot read the Ogg file's comment header");
    }
    std::vector<std::string> added = tags.comments;
    // Pictures of a FLAC file travel in Ogg as comments of their own.
    for (const FlacBlock& block : tags.blocks) {
        if (block.type == kFlacPicture) {
            const TagLib::ByteVector raw(reinterpret_cast<const char*>(block.data.data()),
                                         static_cast<unsigned>(block.data.size()));
            const TagLib::ByteVector text = raw.toBase64();
            added.push_back("METADATA_BLOCK_PICTURE=" + std::string(text.data(), text.size()));
        }
    }
    mergeComments(*comment, added, points);
    const std::string magic = oggCommentMagic(format);
    TagLib::ByteVector packet(magic.data(), static_cast<unsigned>(magic.size()));
    const Bytes rendered = renderVorbisComment(*comment);
    packet.append(TagLib::ByteVector(reinterpret_cast<const char*>(rendered.data()),
                                     static_cast<unsigned>(rendered.size())));
    ogg.setPacket(1, packet);
    const bool saved = ogg.save();
    if (stream.error() != 0) {
        return systemErrorText(stream.error()); // the cause, where TagLib has only a symptom
    }
    return saved ? std::nullopt : std::optional<std::string>("TagLib could not write the comments");
}

std::optional<std::uint64_t> wholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(text);
}

} // namespace

bool xiphCommentPointsIntoAudio(const std::string& comment) {
    const std::string name = commentName(comment);
    return name == kLoopStart || name == kLoopLength || name == "LOOPEND";
}

bool flacBlockPointsIntoAudio(const FlacBlock& block) {
    if (block.type == kFlacCueSheet) {
        return true;
    }
    // `flac --keep-foreign-metadata` keeps the chunks around a WAV's, AIFF's
    // or Wave64's audio here, sizes included: they describe the old audio.
    if (block.type == kFlacApplication && block.data.size() >= 4) {
        const std::string id(block.data.begin(), block.data.begin() + 4);
        return id == "riff" || id == "aiff" || id == "w64 ";
    }
    return false;
}

std::optional<XiphTags> readXiphTags(int fd, off_t base, int format) {
    XiphTags tags;
    if (isFlac(format)) {
        FileReader file;
        if (file.open(fd, base)) {
            return std::nullopt;
        }
        std::optional<FlacMetadata> flac = readFlacMetadata(file);
        if (!flac) {
            return std::nullopt;
        }
        tags.id3v2 = std::move(flac->id3v2);
        for (FlacBlock& block : flac->blocks) {
            if (block.type == kFlacVorbisComment) {
                if (std::optional<VorbisComment> comment = parseVorbisComment(block.data)) {
                    tags.comments = std::move(comment->comments);
                }
            } else if (block.type != kFlacStreamInfo && block.type != kFlacPadding && block.type != kFlacSeekTable) {
                tags.blocks.push_back(std::move(block));
            }
        }
        return tags;
    }
    DescriptorStream stream(fd, base, DescriptorStream::Access::ReadOnly);
    OggPackets ogg(&stream);
    std::optional<VorbisComment> comment = oggComment(ogg, format);
    if (!comment) {
        return std::nullopt;
    }
    tags.comments = std::move(comment->comments);
    return tags;
}

std::optional<LoopPoints> xiphLoopOf(const std::vector<std::string>& comments) {
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> length;
    for (const std::string& comment : comments) {
        const std::string name = commentName(comment);
        if (name == kLoopStart) {
            start = wholeNumber(comment.substr(comment.find('=') + 1));
        } else if (name == kLoopLength) {
            length = wholeNumber(comment.substr(comment.find('=') + 1));
        }
    }
    if (!start || !length) {
        return std::nullopt;
    }
    LoopPoints points;
    points.start = *start;
    points.end = *start + *length;
    return points;
}

std::optional<std::string> writeXiphTags(int fd, off_t base, int format, const XiphTags& tags,
                                         const std::optional<LoopPoints>& points) {
    if (std::optional<std::string> failure =
            isFlac(format) ? writeFlac(fd, base, tags, points) : writeOgg(fd, base, format, tags, points)) {
        return failure;
    }
    if (!points) {
        return std::nullopt;
    }
    // Read back from the file as written, through the same reader as any input.
    const std::optional<XiphTags> back = readXiphTags(fd, base, format);
    const std::optional<LoopPoints> found = back ? xiphLoopOf(back->comments) : std::nullopt;
    if (!found || found->start != points->start || found->end != points->end) {
        return std::string(kLoopPointsLost) + "LOOPSTART and LOOPLENGTH differ";
    }
    return std::nullopt;
}

} // namespace sorvane
