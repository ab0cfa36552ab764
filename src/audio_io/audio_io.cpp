#include "audio_io/audio_io.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio_io/sndfile_handle.hpp"

namespace sorvane {

namespace {

// Large enough that libsndfile reads in big chunks, small enough to stay in cache.
constexpr sf_count_t kReadBlockFrames = 4096;

// Bytes per frame of the two input buffers.
constexpr std::uint64_t kInputBytesPerFrame = 2 * sizeof(double);

std::optional<FileIdentity> identityOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileIdentity{st.st_dev, st.st_ino};
}

// A system error in the same words libsndfile uses for its own.
std::string systemErrorText(int error) {
    return std::string("System error : ") + std::strerror(error) + ".";
}

// Reads blocks of frames and hands each frame (a pointer to its samples) to
// `take`. Returns the result of the last read call.
template <typename TakeFrame>
sf_count_t readFrames(SNDFILE* handle, std::size_t stride, TakeFrame take) {
    std::vector<double> scratch(static_cast<std::size_t>(kReadBlockFrames) * stride);
    sf_count_t got = 0;
    while ((got = sf_readf_double(handle, scratch.data(), kReadBlockFrames)) > 0) {
        const double* frame = scratch.data();
        for (sf_count_t f = 0; f < got; ++f, frame += stride) {
            take(frame);
        }
    }
    return got;
}

// Writes the whole buffer into an open output. On failure reports it and
// returns nothing; the caller closes the file.
std::optional<sf_count_t> writeFrames(SNDFILE* handle, int format, int channels,
                                      const InterleavedBuffer& buffer, std::ostream& err) {
    // With clipping on, libsndfile scales integer writes by the same power of
    // two it reads with, so copied PCM samples come back bit for bit, and
    // values beyond full scale are clipped instead of wrapping around.
    sf_command(handle, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    const auto frames = static_cast<sf_count_t>(buffer.size() / static_cast<std::size_t>(channels));
    if (frames == 0) {
        // The FLAC and MPEG encoders start, and write their headers, only with
        // the first samples: a loop of no frames would otherwise leave a file
        // of 0 bytes that nothing can open.
        const int container = format & SF_FORMAT_TYPEMASK;
        if (container == SF_FORMAT_FLAC || container == SF_FORMAT_MPEG) {
            sf_command(handle, SFC_UPDATE_HEADER_NOW, nullptr, 0);
        }
    }
    static const double kNoSamples = 0.0;
    const double* samples = buffer.empty() ? &kNoSamples : buffer.data();
    if (sf_writef_double(handle, samples, frames) != frames) {
        err << "Error writing output file: " << sf_strerror(handle) << "\n";
        return std::nullopt;
    }
    sf_write_sync(handle);
    return frames;
}

// Closes a written file. The encoder's last data and the header go out here,
// so a failure means the file is incomplete and must not pass for a loop.
bool closeWritten(SndFileHandle& handle, std::ostream& err) {
    const int error = sf_close(handle.release());
    if (error != SF_ERR_NO_ERROR) {
        err << "Error writing output file: " << sf_error_number(error) << "\n";
        return false;
    }
    return true;
}

// Creates `path` in the given format, writes the whole buffer and closes it.
std::optional<sf_count_t> writeNewFile(const std::string& path, SF_INFO info, const InterleavedBuffer& buffer,
                                       std::ostream& err) {
    SndFileHandle handle(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!handle) {
        err << "Error opening output file: " << sf_strerror(nullptr) << "\n";
        return std::nullopt;
    }
    const std::optional<sf_count_t> frames = writeFrames(handle.get(), info.format, info.channels, buffer, err);
    if (!frames || !closeWritten(handle, err)) {
        return std::nullopt;
    }
    return frames;
}

// Removes a temporary file unless it was put in place.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!kept_) {
            unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& path() const { return path_; }
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

// The file a path finally names, symbolic links followed, so that replacing
// it replaces the file and not a link to it.
std::string resolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

void syncDirectory(const std::string& directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

std::optional<std::uint64_t> replaceInput(const std::string& path, SF_INFO outInfo,
                                          const InterleavedBuffer& buffer, std::ostream& err) {
    const std::string target = resolvedPath(path);
    const std::size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);

    struct stat original {};
    if (stat(target.c_str(), &original) != 0) {
        err << "Error opening output file: " << systemErrorText(errno) << "\n";
        return std::nullopt;
    }
    std::string pattern = directory + "." + name + ".sorvane-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        err << "Error opening output file: " << systemErrorText(errno) << "\n";
        return std::nullopt;
    }
    close(fd);
    TemporaryFile temporary(pattern);

    const std::optional<sf_count_t> frames = writeNewFile(temporary.path(), outInfo, buffer, err);
    if (!frames) {
        return std::nullopt;
    }
    if (chmod(temporary.path().c_str(), original.st_mode & 07777) != 0 ||
        rename(temporary.path().c_str(), target.c_str()) != 0) {
        err << "Error writing output file: " << systemErrorText(errno) << "\n";
        return std::nullopt;
    }
    temporary.keep();
    syncDirectory(directory);
    return static_cast<std::uint64_t>(*frames);
}

} // namespace

std::uint64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::optional<AudioInput> readInputAudio(const std::string& path, std::ostream& err,
                                         std::uint64_t memoryBudget) {
    AudioInput input;
    SndFileHandle handle(sf_open(path.c_str(), SFM_READ, &input.info));
    if (!handle) {
        err << "Error opening input file: " << sf_strerror(nullptr) << "\n";
        return std::nullopt;
    }
    input.identity = identityOf(path);
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

    const auto stride = static_cast<std::size_t>(channels);
    const auto declared = static_cast<std::uint64_t>(input.info.frames);
    const bool trusted = input.info.frames != SF_COUNT_MAX &&
                         (memoryBudget == 0 || declared <= memoryBudget / kInputBytesPerFrame);
    sf_count_t last = 0;
    if (trusted) {
        const auto frames = static_cast<std::size_t>(declared);
        input.left.assign(frames, 0.0);
        input.right.assign(frames, 0.0);
        if (frames == 0) {
            // No element could receive a frame; the file is taken as empty, as declared.
            return input;
        }
        // Samples are added onto the zero-filled buffers at a position that
        // wraps at the declared count: frames missing at the end stay 0.0, and
        // adding to +0.0 stores a negative-zero sample as +0.0.
        std::size_t position = 0;
        last = readFrames(handle.get(), stride, [&](const double* frame) {
            input.left[position] += frame[0];
            if (channels > 1) {
                input.right[position] += frame[1];
            }
            if (++position >= frames) {
                position = 0;
            }
        });
    } else {
        // Unknown or impossible length: keep what the file really delivers.
        last = readFrames(handle.get(), stride, [&](const double* frame) {
            input.left.push_back(0.0 + frame[0]);
            input.right.push_back(channels > 1 ? 0.0 + frame[1] : 0.0);
        });
        input.info.frames = static_cast<sf_count_t>(input.left.size());
    }
    // Some decoders end a failed read with a plain 0 and leave the error
    // behind; a fragment of the file must not pass for the whole of it.
    if (last < 0 || sf_error(handle.get()) != SF_ERR_NO_ERROR) {
        err << "Error reading input file: " << sf_strerror(handle.get()) << "\n";
        return std::nullopt;
    }
    return input;
}

std::optional<std::uint64_t> writeOutputAudio(const std::string& path, const SF_INFO& inputInfo,
                                              const InterleavedBuffer& buffer, std::ostream& err,
                                              const std::optional<FileIdentity>& replaces) {
    SF_INFO outInfo{};
    outInfo.samplerate = inputInfo.samplerate;
    outInfo.channels = inputInfo.channels;
    outInfo.format = inputInfo.format;

    if (replaces) {
        const std::optional<FileIdentity> existing = identityOf(path);
        if (existing && existing->device == replaces->device && existing->inode == replaces->inode) {
            return replaceInput(path, outInfo, buffer, err);
        }
    }

    const std::optional<sf_count_t> frames = writeNewFile(path, outInfo, buffer, err);
    if (!frames) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(*frames);
}

} // namespace sorvane
