#include "audio_io/audio_io.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio_io/descriptor_io.hpp"
#include "files/file_descriptor.hpp"
#include "audio_io/output_format.hpp"
#include "audio_io/sndfile_handle.hpp"

namespace sorvane {

namespace {

// Large enough that libsndfile reads in big chunks, small enough to stay in cache.
constexpr sf_count_t kReadBlockFrames = 4096;

// The loop goes to the encoder in blocks of this many frames as it is built,
// so it is never held whole: 256 KiB of stereo, which stays in cache.
constexpr std::size_t kWriteBlockFrames = 16384;

// What is reserved for a declared length that nothing can confirm (a pipe):
// about a second and a half, to grow from.
constexpr std::uint64_t kUnconfirmedReserveFrames = 1 << 16;

// Compressed audio holds no fixed number of samples per byte. Opus at its
// lowest rate packs about 64 a byte and lossless silence more; a declared
// length beyond this is not reserved for ahead but grown into.
constexpr std::uint64_t kCompressedSamplesPerByte = 256;

// What libsndfile gives when it has an error without a number of its own:
// some codecs leave -1, for which libsndfile's text would be printed to
// standard output (where a loop or a report may be going) with no reason.
constexpr const char* kNoReason = "Error : the codec failed without saying why.";

// libsndfile's reason for a handle's error, or for the last failed open without one.
std::string libraryErrorText(SNDFILE* handle) {
    return sf_error(handle) >= 0 ? std::string(sf_strerror(handle)) : std::string(kNoReason);
}

// Reads blocks of frames and hands each block (interleaved samples and a
// frame count) to `take`. Returns the result of the last read call.
template <typename TakeBlock>
sf_count_t readBlocks(SNDFILE* handle, std::size_t stride, TakeBlock take) {
    std::vector<double> scratch(static_cast<std::size_t>(kReadBlockFrames) * stride);
    sf_count_t got = 0;
    while ((got = sf_readf_double(handle, scratch.data(), kReadBlockFrames)) > 0) {
        take(scratch.data(), static_cast<std::size_t>(got));
    }
    return got;
}

// Reads a mono file straight into the buffer it is kept in while the room
// reserved for it lasts, and through a block beside it after that (a file
// longer than it declares), so that the buffer never grows for the last read
// that only finds the end. Returns the result of the last read call.
sf_count_t readMono(SNDFILE* handle, ChannelBuffer& samples) {
    sf_count_t got = 0;
    while (samples.size() < samples.capacity()) {
        const std::size_t at = samples.size();
        const auto room = static_cast<sf_count_t>(std::min<std::size_t>(samples.capacity() - at, kReadBlockFrames));
        samples.resize(at + static_cast<std::size_t>(room));
        got = sf_readf_double(handle, samples.data() + at, room);
        samples.resize(at + static_cast<std::size_t>(std::max<sf_count_t>(got, 0)));
        // Adding to +0.0 stores a negative-zero sample as +0.0.
        for (std::size_t i = at; i < samples.size(); ++i) {
            samples[i] = 0.0 + samples[i];
        }
        if (got <= 0) {
            return got;
        }
    }
    return readBlocks(handle, 1, [&](const double* block, std::size_t frames) {
        for (std::size_t f = 0; f < frames; ++f) {
            samples.push_back(0.0 + block[f]);
        }
    });
}

// Hands `count` frames to libsndfile; nothing, or its reason for failing.
std::optional<std::string> writeBlock(SNDFILE* handle, const double* samples, sf_count_t count) {
    if (sf_writef_double(handle, samples, count) != count || sf_error(handle) != SF_ERR_NO_ERROR) {
        return libraryErrorText(handle);
    }
    return std::nullopt;
}

// Only a caller with loop points asks for a file, and its manual has the words.
std::string needsAFile(const std::string& path) { return path + " is a pipe or device; the loop points need a file."; }

// Lets a WAV chosen as RF64 for its size go back to a plain WAV should it
// come out smaller.
void configureEncoder(SNDFILE* handle, int format, const OutputPlan& plan) {
    if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RF64 && (plan.info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_RF64) {
        sf_command(handle, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    }
}

// Writes the whole loop into an open output. Returns nothing, or
// libsndfile's reason for failing.
std::optional<std::string> writeFrames(SNDFILE* handle, int format, const LoopSource& loop) {
    const auto frames = static_cast<sf_count_t>(loop.frames());
    // With clipping on, libsndfile scales integer writes by the same power of
    // two it reads with, so copied PCM samples come back bit for bit, and
    // values beyond full scale are clipped instead of wrapping around.
    sf_command(handle, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const int container = format & SF_FORMAT_TYPEMASK;
    if (frames == 0) {
        // The FLAC encoder starts, and writes its header, only with the
        // first samples: a loop of no frames would otherwise leave a file
        // of 0 bytes that nothing can open.
        if (container == SF_FORMAT_FLAC) {
            sf_command(handle, SFC_UPDATE_HEADER_NOW, nullptr, 0);
        }
    }
    static const double kNoSamples = 0.0;
    if (frames == 0) {
        return writeBlock(handle, &kNoSamples, 0);
    }
    std::vector<double> block(std::min(loop.frames(), std::uint64_t{kWriteBlockFrames}) * loop.channels());
    for (std::uint64_t first = 0; first < loop.frames(); first += kWriteBlockFrames) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kWriteBlockFrames, loop.frames() - first));
        loop.fill(first, count, block.data());
        if (std::optional<std::string> failure = writeBlock(handle, block.data(), static_cast<sf_count_t>(count))) {
            return failure;
        }
    }
    return std::nullopt;
}

} // namespace

std::uint64_t framesWorthReserving(const SF_INFO& info, std::optional<std::uint64_t> fileBytes) {
    if (info.frames <= 0 || info.frames == SF_COUNT_MAX || info.channels <= 0) {
        return 0; // nothing declared, or libsndfile's "unknown"
    }
    const auto declared = static_cast<std::uint64_t>(info.frames);
    if (!fileBytes) {
        return std::min(declared, kUnconfirmedReserveFrames);
    }
    const auto channels = static_cast<std::uint64_t>(info.channels);
    if (*fileBytes > std::numeric_limits<std::uint64_t>::max() / kCompressedSamplesPerByte) {
        return declared;
    }
    const unsigned bits = fewestBitsPerSample(info.format);
    const std::uint64_t samples = bits == 0 ? *fileBytes * kCompressedSamplesPerByte : *fileBytes * 8 / bits;
    return std::min(declared, samples / channels);
}

namespace {

// An input that cannot be read at any offset (a pipe, a FIFO, a terminal,
// standard input or a path such as /dev/stdin or <(...)) is first copied to
// a scratch file: libsndfile reads FLAC from a pipe only to lose sync, and
// reads out of bounds on MP3 from one, and what the file carries besides its
// audio is read at offsets of its own. A pipe cannot be opened twice, so it
// is read once, here. Returns the file's descriptor, or nothing after saying why.
std::optional<FileDescriptor> spoolInput(int from, std::ostream& err) {
    std::string folder;
    FileDescriptor copy = scratchFile(folder);
    if (!copy) {
        err << "Error reading input file: " << systemErrorText(errno) << " (keeping the input in " << folder
            << ")\n";
        return std::nullopt;
    }
    std::vector<char> block(std::size_t{1} << 20);
    for (off_t at = 0;;) {
        const ssize_t got = read(from, block.data(), block.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        int error = got < 0 ? errno : 0;
        if (got > 0) {
            error = writeAllAt(copy.get(), block.data(), static_cast<std::size_t>(got), at);
            at += got;
        }
        if (error != 0) {
            err << "Error reading input file: " << systemErrorText(error) << " (keeping the input in " << folder
                << ")\n";
            return std::nullopt;
        }
        if (got == 0) {
            return copy;
        }
    }
}

} // namespace

std::optional<OpenInput> openInputAudio(const std::string& path, std::ostream& err) {
    OpenInput input;
    // "-" is libsndfile's name for standard input. Every other path is opened
    // here once, and everything read of the file is read through this
    // descriptor: a path may name a pipe, which a second open would wait on
    // for ever.
    FileDescriptor fd(path == "-" ? ::dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        err << "Error opening input file: " << systemErrorText(errno) << "\n";
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        err << "Error opening input file: " << sf_error_number(SF_ERR_UNRECOGNISED_FORMAT) << "\n";
        return std::nullopt;
    }
    input.identity = identityOf(st);
    input.reopenable = path != "-" && S_ISREG(st.st_mode);
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        std::optional<FileDescriptor> copy = spoolInput(fd.get(), err);
        if (!copy) {
            return std::nullopt;
        }
        fd = std::move(*copy);
        if (fstat(fd.get(), &st) != 0) {
            err << "Error reading input file: " << systemErrorText(errno) << "\n";
            return std::nullopt;
        }
    }
    if (S_ISREG(st.st_mode)) {
        input.fileBytes = static_cast<std::uint64_t>(st.st_size);
    }
    input.fd = std::make_shared<FileDescriptor>(std::move(fd));
    input.handle.reset(sf_open_fd(input.fd->get(), SFM_READ, &input.info, SF_FALSE));
    if (!input.handle) {
        err << "Error opening input file: " << libraryErrorText(nullptr) << "\n";
        return std::nullopt;
    }
    const int channels = input.info.channels;
    if (channels != 1 && channels != 2) {
        err << "Error: input file must be stereo or mono.\n"
            << "Input contains " << channels << " channel(s).\n";
        return std::nullopt;
    }
    if (input.info.frames < 0) {
        err << "Error: invalid number of input frames.\n";
        return std::nullopt;
    }
    return input;
}

std::optional<AudioInput> readInputAudio(OpenInput opened, std::ostream& err) {
    AudioInput input;
    input.info = opened.info;
    input.identity = opened.identity;
    SNDFILE* handle = opened.handle.get();
    const int channels = input.info.channels;
    // The declared length is a hint: a cut file delivers less and a streamed
    // one may declare gigabytes. The buffers hold what is delivered, in order.
    const auto reserve = static_cast<std::size_t>(framesWorthReserving(input.info, opened.fileBytes));
    input.left.reserve(reserve);
    if (channels > 1) {
        input.right.reserve(reserve);
    }
    const sf_count_t last =
        channels == 1 ? readMono(handle, input.left)
                      : readBlocks(handle, 2, [&](const double* block, std::size_t frames) {
                            // Adding to +0.0 stores a negative-zero sample as +0.0.
                            for (std::size_t f = 0; f < frames; ++f) {
                                input.left.push_back(0.0 + block[2 * f]);
                                input.right.push_back(0.0 + block[2 * f + 1]);
                            }
                        });
    input.info.frames = static_cast<sf_count_t>(input.left.size());
    // Some decoders end a failed read with a plain 0 and leave the error
    // behind; a fragment of the file must not pass for the whole of it.
    if (last < 0 || sf_error(handle) != SF_ERR_NO_ERROR) {
        err << "Error reading input file: " << libraryErrorText(handle) << "\n";
        return std::nullopt;
    }
    input.metadata = readMetadata(handle, opened.fd, input.info, opened.fileBytes);
    input.bitRateKbps = bitRateOf(opened.fd->get(), input.info, opened.fileBytes);
    input.bytes = opened.fd;
    return input;
}

std::optional<AudioInput> readInputAudio(const std::string& path, std::ostream& err) {
    std::optional<OpenInput> opened = openInputAudio(path, err);
    if (!opened) {
        return std::nullopt;
    }
    return readInputAudio(std::move(*opened), err);
}

namespace {

// Opens where a plan writes; false after saying why.
bool openTarget(OutputTarget& target, const std::string& path, const OutputPlan& plan, std::ostream& err) {
    if (const std::optional<std::string> reason = target.open(path, plan.replaces)) {
        err << "Error opening output file: " << *reason << "\n";
        return false;
    }
    if (plan.extras.needsFile && !target.amendable()) {
        err << "Error opening output file: " << needsAFile(path) << "\n";
        return false;
    }
    return true;
}

// Once every byte is written (or `failure` said why not): adds the plan's
// extras to the complete file and puts it in its place; false after saying
// why this failed.
bool finishTarget(OutputTarget& target, const OutputPlan& plan, std::optional<std::string> failure,
                  std::ostream& err) {
    if (!failure && plan.extras.afterClose && target.amendable()) {
        failure = plan.extras.afterClose(target.fd(), target.base());
    }
    if (!failure) {
        failure = target.commit();
    }
    if (failure) {
        err << "Error writing output file: " << *failure << "\n";
        return false;
    }
    return true;
}

} // namespace

OutputPlan planOutput(const std::string& path, const AudioInput& input) {
    OutputPlan plan;
    plan.info.channels = input.info.channels;
    plan.info.format = path == "-" ? input.info.format : outputFormatFor(path, input.info);
    plan.framesRate = input.info.samplerate;
    plan.info.samplerate = lossyRateFor(plan.info.format, input.info.samplerate); // the input's, but for Opus and MP3
    plan.encoder = encoderSettingsFor(plan.info.format, plan.info.channels, plan.info.samplerate,
                                      isLossy(input.info.format) ? input.bitRateKbps : std::nullopt);
    plan.replaces = input.identity;
    return plan;
}

std::optional<std::uint64_t> writeOutputAudio(const std::string& path, const OutputPlan& plan, const LoopSource& loop,
                                              std::ostream& err) {
    SF_INFO outInfo{};
    outInfo.samplerate = plan.info.samplerate;
    outInfo.channels = plan.info.channels;
    const auto frames = static_cast<sf_count_t>(loop.frames());
    const SizedFormat sized = formatForSize(plan.info.format, plan.info.channels, loop.frames());
    if (sized.tooLarge) {
        err << "Error opening output file: " << *sized.tooLarge << "\n";
        return std::nullopt;
    }
    outInfo.format = sized.format;
    if (frames == 0 && (outInfo.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG &&
        (outInfo.format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS) {
        // libsndfile writes such a file, but cannot open it again.
        err << "Error: an empty loop cannot be written as Ogg Opus; nothing could read the file.\n";
        return std::nullopt;
    }

    OutputTarget target;
    if (!openTarget(target, path, plan, err)) {
        return std::nullopt;
    }
    if (lossyCodecOf(outInfo.format)) {
        LossyOutput lossy;
        lossy.format = outInfo.format;
        lossy.sampleRate = plan.info.samplerate;
        lossy.channels = plan.info.channels;
        lossy.encoder = plan.encoder;
        lossy.loop = plan.loop;
        lossy.strings = target.amendable() ? plan.extras.headerStrings : plan.extras.headerStringsStreamed;
        const std::optional<std::string> failure =
            writeLossy(ByteTarget{target.fd(), target.positioned(), target.base()}, loop,
                       plan.framesRate > 0 ? plan.framesRate : plan.info.samplerate, lossy);
        if (!finishTarget(target, plan, failure, err)) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(frames);
    }
    // A pipe goes to libsndfile as a descriptor, so that it writes only the
    // formats it can write without seeking back, and refuses the others.
    DescriptorIo io(target.fd(), target.positioned(), target.base(), target.replacesExisting());
    SndFileHandle handle(target.isPipe() ? sf_open_fd(target.fd(), SFM_WRITE, &outInfo, SF_FALSE)
                                         : sf_open_virtual(io.callbacks(), SFM_WRITE, &outInfo, &io));
    if (!handle) {
        io.finish();
        if (io.error() != 0) {
            err << "Error writing output file: " << systemErrorText(io.error()) << "\n";
        } else {
            err << "Error opening output file: " << libraryErrorText(nullptr) << "\n";
        }
        return std::nullopt;
    }
    configureEncoder(handle.get(), outInfo.format, plan);
    std::optional<std::string> failure;
    const auto& beforeFrames = !target.amendable() && plan.extras.beforeFramesStreamed
                                   ? plan.extras.beforeFramesStreamed
                                   : plan.extras.beforeFrames;
    if (beforeFrames) {
        failure = beforeFrames(handle.get());
    }
    if (!failure) {
        failure = writeFrames(handle.get(), outInfo.format, loop);
    }
    // The encoders' last data and the header go out while closing.
    const int closed = sf_close(handle.release());
    io.finish();
    if (io.error() != 0) {
        failure = systemErrorText(io.error()); // the cause, where libsndfile has only a symptom
    } else if (!failure && closed != 0) {
        failure = closed > 0 ? std::string(sf_error_number(closed)) : std::string(kNoReason);
    }
    if (!finishTarget(target, plan, failure, err)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(frames);
}

bool copyOutputFile(const std::string& path, const AudioInput& input, const OutputPlan& plan, std::ostream& err) {
    if (!input.bytes) {
        err << "Error reading input file: " << systemErrorText(EBADF) << "\n";
        return false;
    }
    OutputTarget target;
    if (!openTarget(target, path, plan, err)) {
        return false;
    }
    std::optional<std::string> failure;
    std::vector<char> block(std::size_t{1} << 20);
    for (off_t at = 0; !failure;) {
        const ssize_t got = pread(input.bytes->get(), block.data(), block.size(), at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            err << "Error reading input file: " << systemErrorText(errno) << "\n";
            return false;
        }
        if (got == 0) {
            break;
        }
        const int error = target.positioned()
                              ? writeAllAt(target.fd(), block.data(), static_cast<std::size_t>(got), target.base() + at)
                              : writeAll(target.fd(), block.data(), static_cast<std::size_t>(got));
        if (error != 0) {
            failure = systemErrorText(error);
        }
        at += got;
    }
    return finishTarget(target, plan, failure, err);
}

} // namespace sorvane
