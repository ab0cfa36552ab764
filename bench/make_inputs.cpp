// Writes the benchmark inputs: a long recording-like signal (a few detuned
// partials under noise) as 16-bit stereo WAV and FLAC and mono WAV, and a
// folder of short files. Deterministic, so runs compare.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <sndfile.h>

#include "audio_io/sndfile_handle.hpp"

namespace {

constexpr double kTwoPi = 6.283185307179586;

bool writeSignal(const std::string& path, int format, double seconds, std::uint64_t seed, int channels = 2) {
    constexpr int kRate = 44100;
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = channels;
    info.format = format;
    sorvane::SndFileHandle file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) {
        std::cerr << path << ": " << sf_strerror(nullptr) << "\n";
        return false;
    }
    sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto total = static_cast<std::size_t>(seconds * kRate);
    std::vector<double> block(2 * 65536);
    std::uint64_t state = seed;
    for (std::size_t start = 0; start < total; start += 65536) {
        const std::size_t frames = std::min<std::size_t>(65536, total - start);
        for (std::size_t f = 0; f < frames; ++f) {
            const double t = static_cast<double>(start + f) / kRate;
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            const double noise = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
            const double tone = 0.3 * std::sin(kTwoPi * 110.0 * t) + 0.2 * std::sin(kTwoPi * 221.3 * t);
            block[static_cast<std::size_t>(channels) * f] = tone + 0.05 * noise;
            if (channels > 1) {
                block[2 * f + 1] = 0.8 * tone * std::cos(kTwoPi * 0.25 * t) - 0.04 * noise;
            }
        }
        if (sf_writef_double(file.get(), block.data(), static_cast<sf_count_t>(frames)) !=
            static_cast<sf_count_t>(frames)) {
            std::cerr << path << ": " << sf_strerror(file.get()) << "\n";
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "Usage: make_inputs <directory> <minutes of the long file>\n";
        return 1;
    }
    const std::string dir = argv[1];
    const double minutes = std::atof(argv[2]);
    bool ok = writeSignal(dir + "/long.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, minutes * 60.0, 1) &&
              writeSignal(dir + "/long.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, minutes * 60.0, 1) &&
              writeSignal(dir + "/long-mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, minutes * 60.0, 1, 1);
    for (int i = 0; ok && i < 200; ++i) {
        ok = writeSignal(dir + "/short/one-" + std::to_string(i) + ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                         1.0, static_cast<std::uint64_t>(i) + 2);
    }
    return ok ? 0 : 1;
}
