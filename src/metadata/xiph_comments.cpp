#include "metadata/xiph_comments.hpp"

#include <memory>

#include <sndfile.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/opusfile.h>
#include <taglib/tfilestream.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include "audio_io/file_descriptor.hpp"
#include "metadata/descriptor_stream.hpp"

namespace sorvane {

namespace {

constexpr const char* kLoopStart = "LOOPSTART";
constexpr const char* kLoopLength = "LOOPLENGTH";

// The comment block of a FLAC, Ogg Vorbis or Ogg Opus file in `stream`,
// handed to `use` with the file (to save it) and its pictures' owner.
template <typename Use>
std::optional<std::string> withComments(TagLib::IOStream& stream, int format, Use use) {
    if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC) {
        TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        if (!file.isValid()) {
            return std::string("TagLib cannot read the FLAC file");
        }
        return use(file, *file.xiphComment(true), &file);
    }
    if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS) {
        TagLib::Ogg::Opus::File file(&stream, false);
        if (!file.isValid()) {
            return std::string("TagLib cannot read the Ogg Opus file");
        }
        return use(file, *file.tag(), static_cast<TagLib::FLAC::File*>(nullptr));
    }
    TagLib::Ogg::Vorbis::File file(&stream, false);
    if (!file.isValid()) {
        return std::string("TagLib cannot read the Ogg Vorbis file");
    }
    return use(file, *file.tag(), static_cast<TagLib::FLAC::File*>(nullptr));
}

std::optional<std::uint64_t> commentNumber(const TagLib::Ogg::XiphComment& comment, const char* key) {
    const TagLib::Ogg::FieldListMap& fields = comment.fieldListMap();
    const auto found = fields.find(key);
    if (found == fields.end() || found->second.size() != 1) {
        return std::nullopt;
    }
    const std::string text = found->second.front().to8Bit(true);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) {
        return std::nullopt;
    }
    return std::stoull(text);
}

} // namespace

bool xiphFieldPointsIntoAudio(const std::string& name) {
    return name == kLoopStart || name == kLoopLength || name == "LOOPEND";
}

std::optional<XiphTags> readXiphTags(const std::string& path, int format) {
    TagLib::FileStream stream(path.c_str(), true);
    if (!stream.isOpen()) {
        return std::nullopt;
    }
    XiphTags tags;
    const std::optional<std::string> failure =
        withComments(stream, format, [&](TagLib::File&, TagLib::Ogg::XiphComment& comment, TagLib::FLAC::File* flac) {
            for (const auto& [name, values] : comment.fieldListMap()) {
                for (const TagLib::String& value : values) {
                    tags.fields.emplace_back(name.to8Bit(true), value.to8Bit(true));
                }
            }
            const TagLib::List<TagLib::FLAC::Picture*> pictures = flac ? flac->pictureList() : comment.pictureList();
            for (const TagLib::FLAC::Picture* picture : pictures) {
                const TagLib::ByteVector block = picture->render();
                tags.pictures.emplace_back(block.begin(), block.end());
            }
            return std::optional<std::string>();
        });
    if (failure) {
        return std::nullopt;
    }
    return tags;
}

std::optional<std::string> writeXiphTags(int fd, off_t base, int format, const XiphTags& tags,
                                         const std::optional<LoopPoints>& points) {
    DescriptorStream stream(fd, base);
    std::optional<std::string> failure =
        withComments(stream, format, [&](TagLib::File& file, TagLib::Ogg::XiphComment& comment, TagLib::FLAC::File* flac) {
            for (const auto& [name, value] : tags.fields) {
                comment.removeFields(name);
            }
            for (const auto& [name, value] : tags.fields) {
                comment.addField(name, TagLib::String(value, TagLib::String::UTF8), false);
            }
            for (const Bytes& block : tags.pictures) {
                auto picture = std::make_unique<TagLib::FLAC::Picture>(
                    TagLib::ByteVector(reinterpret_cast<const char*>(block.data()), static_cast<unsigned>(block.size())));
                if (flac) {
                    flac->addPicture(picture.release());
                } else {
                    comment.addPicture(picture.release());
                }
            }
            if (points) {
                comment.addField(kLoopStart, TagLib::String(std::to_string(points->start)), true);
                comment.addField(kLoopLength, TagLib::String(std::to_string(points->end - points->start)), true);
            }
            return file.save() ? std::nullopt : std::optional<std::string>("TagLib could not write the comments");
        });
    if (stream.error() != 0) {
        return systemErrorText(stream.error()); // the cause, where TagLib has only a symptom
    }
    if (failure || !points) {
        return failure;
    }
    DescriptorStream check(fd, base);
    failure = withComments(check, format, [&](TagLib::File&, TagLib::Ogg::XiphComment& comment, TagLib::FLAC::File*) {
        return commentNumber(comment, kLoopStart) == points->start &&
                       commentNumber(comment, kLoopLength) == points->end - points->start
                   ? std::nullopt
                   : std::optional<std::string>(std::string(kLoopPointsLost) + "LOOPSTART and LOOPLENGTH differ");
    });
    return check.error() != 0 ? std::optional<std::string>(systemErrorText(check.error())) : failure;
}

} // namespace sorvane
