#include "audio_io/audio_io.hpp"

#include <cstddef>
#include <memory>
#include <vector>

namespace sorvane {

namespace {

struct SndFileCloser {
    void operator()(SNDFILE* handle) const { sf_close(handle); }
};
using SndFileHandle = std::unique_ptr<SNDFILE, SndFileCloser>;

// Large enough that libsndfile reads in big chunks, small enough to stay in cache.
constexpr sf_count_t kReadBlockFrames = 4096;

} // namespace

std::optional<AudioInput> readInputAudio(const std::string& path, std::ostream& err) {
    AudioInput input;
    SndFileHandle handle(sf_open(path.c_str(), SFM_READ, &input.info));
    if (!handle) {
        err << "Error opening input file: " << sf_strerror(nullptr) << "\n";
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

    const auto declared = static_cast<std::size_t>(input.info.frames);
    input.left.assign(declared, 0.0);
    input.right.assign(declared, 0.0);
    if (declared == 0) {
        // No element could receive a frame; the file is taken as empty, as declared.
        return input;
    }

    // Samples are added onto the zero-filled buffers at a position that wraps
    // at the declared count: frames missing at the end stay 0.0, and adding to
    // +0.0 stores a negative-zero sample as +0.0.
    const auto stride = static_cast<std::size_t>(channels);
    std::vector<double> scratch(static_cast<std::size_t>(kReadBlockFrames) * stride);
    std::size_t position = 0;
    sf_count_t got = 0;
    while ((got = sf_readf_double(handle.get(), scratch.data(), kReadBlockFrames)) > 0) {
        const double* frame = scratch.data();
        for (sf_count_t f = 0; f < got; ++f, frame += stride) {
            input.left[position] += frame[0];
            if (channels > 1) {
                input.right[position] += frame[1];
            }
            if (++position >= declared) {
                position = 0;
            }
        }
    }
    if (got < 0) {
        err << "Error reading input file: " << sf_strerror(handle.get()) << "\n";
        return std::nullopt;
    }
    return input;
}

std::optional<std::uint64_t> writeOutputAudio(const std::string& path, const SF_INFO& inputInfo,
                                              const InterleavedBuffer& buffer, std::ostream& err) {
    SF_INFO outInfo{};
    outInfo.samplerate = inputInfo.samplerate;
    outInfo.channels = inputInfo.channels;
    outInfo.format = inputInfo.format;
    SndFileHandle handle(sf_open(path.c_str(), SFM_WRITE, &outInfo));
    if (!handle) {
        err << "Error opening output file: " << sf_strerror(nullptr) << "\n";
        return std::nullopt;
    }
    // With clipping on, libsndfile scales integer writes by the same power of
    // two it reads with, so copied PCM samples come back bit for bit, and
    // values beyond full scale are clipped instead of wrapping around.
    sf_command(handle.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);

    const auto frames = static_cast<sf_count_t>(buffer.size() / static_cast<std::size_t>(outInfo.channels));
    if (frames == 0) {
        // The FLAC and MPEG encoders start, and write their headers, only with
        // the first samples: a loop of no frames would otherwise leave a file
        // of 0 bytes that nothing can open.
        const int container = outInfo.format & SF_FORMAT_TYPEMASK;
        if (container == SF_FORMAT_FLAC || container == SF_FORMAT_MPEG) {
            sf_command(handle.get(), SFC_UPDATE_HEADER_NOW, nullptr, 0);
        }
    }
    static const double kNoSamples = 0.0;
    const double* samples = buffer.empty() ? &kNoSamples : buffer.data();
    if (sf_writef_double(handle.get(), samples, frames) != frames) {
        err << "Error writing output file: " << sf_strerror(handle.get()) << "\n";
        return std::nullopt;
    }
    sf_write_sync(handle.get());
    handle.reset();
    return static_cast<std::uint64_t>(frames);
}

} // namespace sorvane
