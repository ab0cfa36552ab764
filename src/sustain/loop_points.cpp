#include "sustain/loop_points.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <taglib/flacfile.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/opusfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include "audio_io/file_descriptor.hpp"

namespace sorvane {

namespace {

using Bytes = std::vector<unsigned char>;

constexpr const char* kLost = "the loop points did not survive writing: ";
constexpr std::size_t kLargestTaggedBytes = 0x7FFFFFFF;

// Reads the file behind an output's descriptor, at offsets from `base`. An
// output that had to be overwritten in place (in a folder we may not write)
// was opened for writing only: it is read through a second descriptor of the
// same file.
class FileReader {
public:
    std::optional<std::string> open(int fd, off_t base) {
        base_ = base;
        fd_ = fd;
        if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY) {
            own_ = FileDescriptor(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC));
            if (!own_) {
                return systemErrorText(errno);
            }
            fd_ = own_.get();
        }
        struct stat st {};
        if (fstat(fd_, &st) != 0) {
            return systemErrorText(errno);
        }
        size_ = static_cast<std::uint64_t>(std::max<off_t>(0, st.st_size - base));
        return std::nullopt;
    }

    std::uint64_t size() const { return size_; }

    // `count` bytes from `offset`, all of them.
    std::optional<std::string> read(std::uint64_t offset, std::size_t count, Bytes& bytes) const {
        bytes.assign(count, 0);
        std::size_t done = 0;
        while (done < count) {
            const ssize_t got = pread(fd_, bytes.data() + done, count - done, base_ + static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return got < 0 ? systemErrorText(errno) : std::string("the file ended while being read back");
            }
            done += static_cast<std::size_t>(got);
        }
        return std::nullopt;
    }

private:
    FileDescriptor own_;
    int fd_ = -1;
    off_t base_ = 0;
    std::uint64_t size_ = 0;
};

std::optional<std::string> writeAt(int fd, off_t offset, const unsigned char* data, std::size_t size) {
    const int error = writeAllAt(fd, data, size, offset);
    return error == 0 ? std::nullopt : std::optional<std::string>(systemErrorText(error));
}

std::uint32_t little32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint32_t big32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | static_cast<std::uint32_t>(b[at + 3]);
}
std::uint16_t big16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}
void putBig32(Bytes& b, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        b.push_back(static_cast<unsigned char>(v >> shift));
    }
}
void putBig16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
}
void putId(Bytes& b, const char* id) { b.insert(b.end(), id, id + 4); }

// The payload of the first chunk named `id` in a RIFF or IFF file, walking
// the chunk headers from offset 12 (after the RIFF or FORM header), so that
// only they and the payload are read. Nothing in `payload` when there is no
// such chunk.
std::optional<std::string> readChunk(const FileReader& file, const char* id, bool bigEndian,
                                     std::optional<Bytes>& payload) {
    payload.reset();
    Bytes header;
    for (std::uint64_t at = 12; at + 8 <= file.size();) {
        if (std::optional<std::string> failure = file.read(at, 8, header)) {
            return failure;
        }
        const std::uint32_t size = bigEndian ? big32(header, 4) : little32(header, 4);
        if (std::memcmp(header.data(), id, 4) == 0) {
            if (size <= file.size() - at - 8) {
                payload.emplace();
                return file.read(at + 8, size, *payload);
            }
            return std::nullopt;
        }
        at += 8 + std::uint64_t{size} + (size & 1U);
    }
    return std::nullopt;
}

std::string frameText(std::uint64_t frame) { return std::to_string(frame); }

std::optional<std::string> checkWave(int fd, off_t base, const LoopPoints& points) {
    FileReader file;
    std::optional<Bytes> smpl;
    if (std::optional<std::string> failure = file.open(fd, base)) {
        return failure;
    }
    if (std::optional<std::string> failure = readChunk(file, "smpl", false, smpl)) {
        return failure;
    }
    if (!smpl || smpl->size() < 36 + 24 || little32(*smpl, 28) < 1) {
        return std::string(kLost) + "no smpl chunk with a loop";
    }
    // The chunk stores the last frame of the loop, not the one after it.
    const std::size_t loop = 36;
    if (little32(*smpl, loop + 4) != 0 || little32(*smpl, loop + 8) != points.start ||
        std::uint64_t{little32(*smpl, loop + 12)} + 1 != points.end) {
        return std::string(kLost) + "the smpl chunk holds " + frameText(little32(*smpl, loop + 8)) + " to " +
               frameText(little32(*smpl, loop + 12)) + " inclusive";
    }
    return std::nullopt;
}

std::optional<std::string> waveBefore(SNDFILE* handle, const LoopPoints& points) {
    SF_INSTRUMENT instrument{};
    const UnityNote unity = unityNoteOf(points.midiNote);
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
    if (sf_command(handle, SFC_SET_INSTRUMENT, &instrument, sizeof instrument) != SF_TRUE) {
        return std::string("libsndfile would not take the loop points");
    }
    return std::nullopt;
}

// AIFF markers sit between frames: the loop runs from the marker before its
// first frame to the one after its last.
std::optional<std::string> checkAiff(const FileReader& file, const LoopPoints& points) {
    std::optional<Bytes> inst;
    std::optional<Bytes> mark;
    for (auto [id, chunk] : {std::pair{"INST", &inst}, std::pair{"MARK", &mark}}) {
        if (std::optional<std::string> failure = readChunk(file, id, true, *chunk)) {
            return failure;
        }
    }
    if (!inst || !mark || inst->size() < 20 || mark->size() < 2) {
        return std::string(kLost) + "no INST and MARK chunks";
    }
    const std::uint16_t beginId = big16(*inst, 10);
    const std::uint16_t endId = big16(*inst, 12);
    std::optional<std::uint32_t> begin;
    std::optional<std::uint32_t> end;
    std::size_t at = 2;
    for (std::uint16_t i = 0; i < big16(*mark, 0) && at + 7 <= mark->size(); ++i) {
        const std::uint16_t id = big16(*mark, at);
        const std::uint32_t position = big32(*mark, at + 2);
        if (id == beginId) {
            begin = position;
        }
        if (id == endId) {
            end = position;
        }
        const std::size_t name = (*mark)[at + 6];
        at += 6 + ((1 + name + 1) & ~std::size_t{1});
    }
    if (big16(*inst, 8) != 1 || !begin || !end || *begin != points.start || *end != points.end) {
        return std::string(kLost) + "the INST chunk's sustain loop is not " + frameText(points.start) + " to " +
               frameText(points.end);
    }
    return std::nullopt;
}

void putMarker(Bytes& b, std::uint16_t id, std::uint32_t position, const std::string& name) {
    putBig16(b, id);
    putBig32(b, position);
    b.push_back(static_cast<unsigned char>(name.size()));
    b.insert(b.end(), name.begin(), name.end());
    if ((1 + name.size()) % 2 != 0) {
        b.push_back(0);
    }
}

// libsndfile no longer writes AIFF loops: the chunks are added to the closed
// file, and the FORM's size mended to take them in.
std::optional<std::string> aiffAfter(int fd, off_t base, const LoopPoints& points) {
    FileReader file;
    Bytes head;
    if (std::optional<std::string> failure = file.open(fd, base)) {
        return failure;
    }
    if (file.size() < 12 || file.read(0, 4, head) || std::memcmp(head.data(), "FORM", 4) != 0) {
        return std::string("libsndfile wrote no AIFF file");
    }
    Bytes tail;
    if (file.size() % 2 != 0) {
        tail.push_back(0); // chunks start at even offsets
    }
    Bytes marks;
    putBig16(marks, 2);
    putMarker(marks, 1, static_cast<std::uint32_t>(points.start), "loop start");
    putMarker(marks, 2, static_cast<std::uint32_t>(points.end), "loop end");
    putId(tail, "MARK");
    putBig32(tail, static_cast<std::uint32_t>(marks.size()));
    tail.insert(tail.end(), marks.begin(), marks.end());

    // The detune says how far to bend the sample to sound its base note.
    const long note = std::lround(points.midiNote);
    const long cents = std::lround((points.midiNote - static_cast<double>(note)) * 100.0);
    putId(tail, "INST");
    putBig32(tail, 20);
    tail.push_back(static_cast<unsigned char>(std::clamp(note, 0L, 127L)));
    tail.push_back(static_cast<unsigned char>(static_cast<signed char>(std::clamp(-cents, -50L, 50L))));
    for (const int range : {0, 127, 1, 127}) { // notes, then velocities
        tail.push_back(static_cast<unsigned char>(range));
    }
    putBig16(tail, 0);                         // gain, dB
    for (const int v : {1, 1, 2, 0, 0, 0}) { // sustain loop forward 1..2; no release loop
        putBig16(tail, static_cast<std::uint16_t>(v));
    }
    const std::uint64_t total = file.size() + tail.size();
    if (total - 8 > 0xFFFFFFFFU) {
        return std::string("the file is too large for AIFF loop chunks");
    }
    Bytes form;
    putBig32(form, static_cast<std::uint32_t>(total - 8));
    if (std::optional<std::string> failure = writeAt(fd, base + static_cast<off_t>(file.size()), tail.data(), tail.size())) {
        return failure;
    }
    if (std::optional<std::string> failure = writeAt(fd, base + 4, form.data(), form.size())) {
        return failure;
    }
    if (std::optional<std::string> failure = file.open(fd, base)) { // the size has grown
        return failure;
    }
    return checkAiff(file, points);
}

// The comments of a FLAC, Ogg Vorbis or Ogg Opus file held in `stream`.
template <typename F>
std::optional<std::string> withComments(TagLib::ByteVectorStream& stream, int format, F use) {
    const int container = format & SF_FORMAT_TYPEMASK;
    if (container == SF_FORMAT_FLAC) {
        TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        return file.isValid() ? use(file, file.xiphComment(true)) : std::string("TagLib cannot read the FLAC file");
    }
    if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS) {
        TagLib::Ogg::Opus::File file(&stream, false);
        return file.isValid() ? use(file, file.tag()) : std::string("TagLib cannot read the Ogg Opus file");
    }
    TagLib::Ogg::Vorbis::File file(&stream, false);
    return file.isValid() ? use(file, file.tag()) : std::string("TagLib cannot read the Ogg Vorbis file");
}

std::optional<std::uint64_t> commentNumber(TagLib::Ogg::XiphComment* comment, const char* key) {
    const TagLib::Ogg::FieldListMap& fields = comment->fieldListMap();
    const auto found = fields.find(key);
    if (found == fields.end() || found->second.size() != 1) {
        return std::nullopt;
    }
    const std::string text = found->second.front().to8Bit();
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) {
        return std::nullopt;
    }
    return std::stoull(text);
}

// The whole file, for TagLib, which holds it in memory with 32-bit sizes.
std::optional<std::string> readTaggable(int fd, off_t base, Bytes& bytes) {
    FileReader file;
    if (std::optional<std::string> failure = file.open(fd, base)) {
        return failure;
    }
    if (file.size() > kLargestTaggedBytes) {
        return std::string("the file is too large for TagLib to add its loop comments");
    }
    return file.read(0, static_cast<std::size_t>(file.size()), bytes);
}

// TagLib edits the file in memory; the bytes go back through checked writes
// of ours, since TagLib's own file access does not report failed writes.
std::optional<std::string> xiphAfter(int fd, off_t base, int format, const LoopPoints& points) {
    Bytes file;
    if (std::optional<std::string> failure = readTaggable(fd, base, file)) {
        return failure;
    }
    TagLib::ByteVectorStream stream(
        TagLib::ByteVector(reinterpret_cast<const char*>(file.data()), static_cast<unsigned>(file.size())));
    std::optional<std::string> failure =
        withComments(stream, format, [&](TagLib::File& tagged, TagLib::Ogg::XiphComment* comment) {
            comment->addField("LOOPSTART", TagLib::String(std::to_string(points.start)), true);
            comment->addField("LOOPLENGTH", TagLib::String(std::to_string(points.end - points.start)), true);
            return tagged.save() ? std::nullopt : std::optional<std::string>("TagLib could not add the comments");
        });
    if (failure) {
        return failure;
    }
    const TagLib::ByteVector* edited = stream.data();
    if (std::optional<std::string> written = writeAt(fd, base, reinterpret_cast<const unsigned char*>(edited->data()),
                                                     edited->size())) {
        return written;
    }
    if (ftruncate(fd, base + static_cast<off_t>(edited->size())) != 0) {
        return systemErrorText(errno);
    }
    if (std::optional<std::string> reread = readTaggable(fd, base, file)) {
        return reread;
    }
    TagLib::ByteVectorStream check(
        TagLib::ByteVector(reinterpret_cast<const char*>(file.data()), static_cast<unsigned>(file.size())));
    return withComments(check, format, [&](TagLib::File&, TagLib::Ogg::XiphComment* comment) {
        const std::optional<std::uint64_t> start = commentNumber(comment, "LOOPSTART");
        const std::optional<std::uint64_t> length = commentNumber(comment, "LOOPLENGTH");
        return start == points.start && length == points.end - points.start
                   ? std::nullopt
                   : std::optional<std::string>(std::string(kLost) + "LOOPSTART and LOOPLENGTH differ");
    });
}

} // namespace

std::optional<LoopCarrier> loopCarrierOf(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
        return LoopCarrier::WaveSampler;
    case SF_FORMAT_AIFF:
        return LoopCarrier::AiffInstrument;
    case SF_FORMAT_FLAC:
        return LoopCarrier::XiphComments;
    case SF_FORMAT_OGG:
        if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_VORBIS || (format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS) {
            return LoopCarrier::XiphComments;
        }
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

std::string containerName(int format) {
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name != nullptr) {
        return info.name;
    }
    return "this";
}

UnityNote unityNoteOf(double midiNote) {
    UnityNote unity;
    const double clamped = std::clamp(midiNote, 0.0, 127.0);
    unity.note = static_cast<int>(std::floor(clamped));
    unity.centsAbove = static_cast<int>(std::lround((clamped - std::floor(clamped)) * 100.0));
    if (unity.centsAbove == 100) {
        unity.note += 1;
        unity.centsAbove = 0;
    }
    if (unity.note > 127) {
        unity.note = 127;
        unity.centsAbove = 99;
    }
    return unity;
}

OutputExtras loopPointWriter(int format, const LoopPoints& points) {
    OutputExtras extras;
    switch (loopCarrierOf(format).value_or(LoopCarrier::WaveSampler)) {
    case LoopCarrier::WaveSampler:
        extras.beforeFrames = [points](SNDFILE* handle) { return waveBefore(handle, points); };
        extras.afterClose = [points](int fd, off_t base) { return checkWave(fd, base, points); };
        break;
    case LoopCarrier::AiffInstrument:
        extras.afterClose = [points](int fd, off_t base) { return aiffAfter(fd, base, points); };
        break;
    case LoopCarrier::XiphComments:
        extras.afterClose = [format, points](int fd, off_t base) { return xiphAfter(fd, base, format, points); };
        break;
    }
    return extras;
}

} // namespace sorvane
