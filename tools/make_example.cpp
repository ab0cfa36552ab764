// Synthesises the demo's example recording: a plucked string (Karplus-Strong)
// in stereo, the right channel a little detuned and later, with a decaying
// tail and a faint noise floor. Deterministic, so every demo run loops the
// same sound.
#include <cmath>
#include <cstdint>
#include <iostream>
#include <memory>
#include <vector>

#include <sndfile.h>

#include "audio_io/sndfile_handle.hpp"

namespace {

constexpr int kSampleRate = 44100;
constexpr double kSeconds = 2.5;

// A small linear congruential generator: portable and repeatable noise.
class Noise {
public:
    double next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state_ >> 11) / 9007199254740992.0 * 2.0 - 1.0;
    }

private:
    std::uint64_t state_ = 0x5eed5eedULL;
};

std::vector<double> pluck(double frequency, std::size_t frames, std::size_t onset, Noise& noise) {
    const auto period = static_cast<std::size_t>(std::lround(kSampleRate / frequency));
    std::vector<double> line(period);
    for (double& v : line) {
        v = noise.next();
    }
    std::vector<double> out(frames, 0.0);
    std::size_t pos = 0;
    for (std::size_t i = onset; i < frames; ++i) {
        const std::size_t nextPos = (pos + 1) % period;
        const double v = line[pos];
        line[pos] = 0.4985 * (v + line[nextPos]);
        out[i] = v;
        pos = nextPos;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "Usage: " << (argc > 0 ? argv[0] : "sorvane-make-example")
                  << " <output.wav>\n";
        return 1;
    }
    const auto frames = static_cast<std::size_t>(kSeconds * kSampleRate);
    Noise noise;
    const std::vector<double> left = pluck(196.0, frames, 0, noise);
    const std::vector<double> right = pluck(196.6, frames, 220, noise);

    std::vector<double> interleaved(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        interleaved[2 * i] = 0.6 * left[i] + 0.002 * noise.next();
        interleaved[2 * i + 1] = 0.6 * right[i] + 0.002 * noise.next();
    }

    SF_INFO info{};
    info.samplerate = kSampleRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    sorvane::SndFileHandle file(sf_open(argv[1], SFM_WRITE, &info));
    if (!file) {
        std::cerr << "Error opening output file: " << sf_strerror(nullptr) << "\n";
        return 1;
    }
    sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto count = static_cast<sf_count_t>(frames);
    if (sf_writef_double(file.get(), interleaved.data(), count) != count) {
        std::cerr << "Error writing output file: " << sf_strerror(file.get()) << "\n";
        return 1;
    }
    return 0;
}
