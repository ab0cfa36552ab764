// The floor for sorvane's jobs through libsndfile: read the file in large
// blocks into one interleaved buffer, arrange the output frames with plain
// copies (no blend, no per-channel buffers) and write them in one call.
// Whatever sorvane spends beyond this is its own.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <sndfile.h>

#include "audio_io/sndfile_handle.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "Usage: floor <in> <out> <crossfade|pingpong|zerocrossing>\n";
        return 1;
    }
    const std::string mode = argv[3];
    SF_INFO info{};
    sorvane::SndFileHandle in(sf_open(argv[1], SFM_READ, &info));
    if (!in) {
        std::cerr << sf_strerror(nullptr) << "\n";
        return 1;
    }
    const auto c = static_cast<std::size_t>(info.channels);
    const auto n = static_cast<std::size_t>(info.frames);
    std::vector<double> samples(n * c);
    std::size_t done = 0;
    while (done < n) {
        const sf_count_t want = static_cast<sf_count_t>(std::min<std::size_t>(65536, n - done));
        const sf_count_t got = sf_readf_double(in.get(), samples.data() + done * c, want);
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    in.reset();

    std::vector<double> out;
    if (mode == "pingpong") {
        out.resize(2 * n * c);
        std::memcpy(out.data(), samples.data(), n * c * sizeof(double));
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(&out[(n + i) * c], &samples[(n - 1 - i) * c], c * sizeof(double));
        }
    } else if (mode == "crossfade") {
        const std::size_t head = n * 15 / 100;
        out.assign(samples.begin() + static_cast<std::ptrdiff_t>(head * c), samples.end());
    } else {
        // First and last frame where the channel sum rises through zero.
        auto sum = [&](std::size_t f) {
            double s = 0.0;
            for (std::size_t k = 0; k < c; ++k) s += samples[f * c + k];
            return s;
        };
        std::size_t first = 0;
        while (first + 1 < n && !(sum(first) < 0.0 && sum(first + 1) >= 0.0)) ++first;
        std::size_t last = n >= 2 ? n - 2 : 0;
        while (last > first && !(sum(last) < 0.0 && sum(last + 1) >= 0.0)) --last;
        if (first + 1 < n) {
            out.assign(samples.begin() + static_cast<std::ptrdiff_t>(first * c),
                       samples.begin() + static_cast<std::ptrdiff_t>((last + 1) * c));
        }
    }
    SF_INFO outInfo{};
    outInfo.samplerate = info.samplerate;
    outInfo.channels = info.channels;
    outInfo.format = info.format;
    sorvane::SndFileHandle outFile(sf_open(argv[2], SFM_WRITE, &outInfo));
    if (!outFile) {
        std::cerr << sf_strerror(nullptr) << "\n";
        return 1;
    }
    sf_command(outFile.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto frames = static_cast<sf_count_t>(out.size() / c);
    if (sf_writef_double(outFile.get(), out.data(), frames) != frames) {
        std::cerr << sf_strerror(outFile.get()) << "\n";
        return 1;
    }
    sf_write_sync(outFile.get());
    return 0;
}
