// Synthesises the demo's example recordings: a plucked string (Karplus-Strong)
// in stereo, the right channel a little detuned and later, with a decaying
// tail and a faint noise floor; and, with --bowed, a bowed note with an
// attack, vibrato, bow noise and a release, which has a sustain to loop;
// with --notes, bowed notes at several pitches, named by their notes, for an
// instrument. Deterministic, so every demo run loops the same sounds.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
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

// A bowed G3: a band-limited sawtooth whose vibrato (5.2 Hz) grows in
// after the attack, a touch of bow noise, the right channel a little darker
// and later, and a release over the last 0.4 s.
std::vector<double> bowed(std::size_t frames, int sampleRate, Noise& noise, double kFrequency = 196.0) {
    std::vector<double> interleaved(frames * 2);
    double phase = 0.0;
    double previous = 0.0;
    const double rate = sampleRate;
    const double seconds = static_cast<double>(frames) / rate;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double depth = 0.004 * std::min(1.0, std::max(0.0, (t - 0.3) / 0.5));
        phase += 2.0 * M_PI * kFrequency * (1.0 + depth * std::sin(2.0 * M_PI * 5.2 * t)) / rate;
        double tone = 0.0;
        for (int h = 1; h * kFrequency < rate / 2.5; ++h) {
            tone += std::sin(h * phase) / h;
        }
        const double attack = std::min(1.0, t / 0.15);
        const double release = t > seconds - 0.4 ? std::exp(-(t - (seconds - 0.4)) / 0.08) : 1.0;
        const double level = attack * release * (1.0 - 0.25 * std::exp(-t / 0.12));
        const double v = level * (0.25 * tone + 0.004 * noise.next());
        interleaved[2 * i] = v;
        interleaved[2 * i + 1] = 0.6 * v + 0.25 * previous;
        previous = v;
    }
    return interleaved;
}

} // namespace

bool write(const char* path, const std::vector<double>& interleaved, int rate, int encoding) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | encoding;
    sorvane::SndFileHandle file(sf_open(path, SFM_WRITE, &info));
    if (!file) {
        std::cerr << path << ": Error opening output file: " << sf_strerror(nullptr) << "\n";
        return false;
    }
    sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto count = static_cast<sf_count_t>(interleaved.size() / 2);
    if (sf_writef_double(file.get(), interleaved.data(), count) != count) {
        std::cerr << path << ": Error writing output file: " << sf_strerror(file.get()) << "\n";
        return false;
    }
    return true;
}

// COUNT bowed notes from C3 up, three semitones apart, each named by its
// note (bowed_C3.wav, bowed_D#3.wav, ...).
int notes(int argc, char** argv) {
    const std::string folder = argv[2];
    const int count = std::atoi(argv[3]);
    const double seconds = argc >= 5 ? std::atof(argv[4]) : 3.0;
    const int rate = argc >= 6 ? std::atoi(argv[5]) : kSampleRate;
    const int bits = argc >= 7 ? std::atoi(argv[6]) : 16;
    if (count < 1 || count > 128 || !(seconds > 0.5 && seconds < 60.0) || rate < 8000 || rate > 192000 ||
        (bits != 16 && bits != 24)) {
        std::cerr << "Error: give 1 to 128 notes of 0.5 to 60 seconds, a rate of 8000 to 192000 Hz and 16 or 24 bits.\n";
        return 1;
    }
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    if (made) {
        std::cerr << folder << ": Error: cannot make the folder: " << made.message() << ".\n";
        return 1;
    }
    static const char* const kNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    for (int n = 0; n < count; ++n) {
        const int key = 48 + (3 * n) % 60;
        Noise noise;
        const std::vector<double> interleaved = bowed(static_cast<std::size_t>(seconds * rate), rate, noise,
                                                      440.0 * std::exp2((key - 69) / 12.0));
        const std::string path = folder + "/bowed_" + kNames[key % 12] + std::to_string(key / 12 - 1) +
                                 (n >= 20 ? "_" + std::to_string(n / 20 + 1) : "") + ".wav";
        if (!write(path.c_str(), interleaved, rate, bits == 24 ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16)) {
            return 1;
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    // --bowed takes a length in seconds and a sample rate after the path, for
    // the benchmarks; the demo's note is 4 s at 44.1 kHz.
    const bool isBowed = argc >= 3 && argc <= 5 && std::string(argv[1]) == "--bowed";
    if (argc >= 4 && argc <= 7 && std::string(argv[1]) == "--notes") {
        return notes(argc, argv);
    }
    // A path that looks like an option is a mistake, not a file to make.
    if ((argc != 2 && !isBowed) || (argc == 2 && argv[1][0] == '-')) {
        std::cerr << "Usage: " << (argc > 0 ? argv[0] : "sorvane-make-example")
                  << " <output.wav> | --bowed <output.wav> [seconds [sample rate]]"
                     " | --notes <folder> <count> [seconds [sample rate [bits]]]\n";
        return 1;
    }
    const char* path = isBowed ? argv[2] : argv[1];
    const double seconds = isBowed && argc >= 4 ? std::atof(argv[3]) : 4.0;
    const int rate = isBowed && argc == 5 ? std::atoi(argv[4]) : kSampleRate;
    if (!(seconds > 0.5 && seconds < 3600.0) || rate < 8000 || rate > 192000) {
        std::cerr << "Error: give a length of 0.5 to 3600 seconds and a rate of 8000 to 192000 Hz.\n";
        return 1;
    }
    Noise noise;
    std::vector<double> interleaved;
    if (isBowed) {
        interleaved = bowed(static_cast<std::size_t>(seconds * rate), rate, noise);
    } else {
        const auto frames = static_cast<std::size_t>(kSeconds * kSampleRate);
        const std::vector<double> left = pluck(196.0, frames, 0, noise);
        const std::vector<double> right = pluck(196.6, frames, 220, noise);
        interleaved.resize(frames * 2);
        for (std::size_t i = 0; i < frames; ++i) {
            interleaved[2 * i] = 0.6 * left[i] + 0.002 * noise.next();
            interleaved[2 * i + 1] = 0.6 * right[i] + 0.002 * noise.next();
        }
    }
    return write(path, interleaved, rate, SF_FORMAT_PCM_16) ? 0 : 1;
}
