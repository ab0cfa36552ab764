// Writes the fuzzer's seed corpus: a tiny file of each major format.
#include <cmath>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <sndfile.h>

#include "audio_io/sndfile_handle.hpp"

namespace {

struct Seed {
    const char* name;
    int format;
    int channels;
    int frames;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "Usage: " << (argc > 0 ? argv[0] : "make_corpus") << " <directory>\n";
        return 1;
    }
    const Seed seeds[] = {
        {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 64},
        {"u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 64},
        {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 32},
        {"ima.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 1, 256},
        {"ulaw.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 1, 64},
        {"pcm24.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 2, 48},
        {"pcm16.au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 1, 64},
        {"double.w64", SF_FORMAT_W64 | SF_FORMAT_DOUBLE, 1, 32},
        {"pcm32.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_32, 2, 32},
        {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 300},
        {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 1, 2000},
        {"opus.ogg", SF_FORMAT_OGG | SF_FORMAT_OPUS, 1, 2000},
        {"layer3.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 1, 2304},
        {"pcm16.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 1, 32},
        {"pcm16.voc", SF_FORMAT_VOC | SF_FORMAT_PCM_16, 1, 32},
        {"pcm16.paf", SF_FORMAT_PAF | SF_FORMAT_PCM_16, 1, 32},
        {"pcm16.svx", SF_FORMAT_SVX | SF_FORMAT_PCM_16, 1, 32},
        {"pcm16.nist", SF_FORMAT_NIST | SF_FORMAT_PCM_16, 1, 32},
        {"pcm16.ircam", SF_FORMAT_IRCAM | SF_FORMAT_PCM_16, 1, 32},
        {"pcm16.mat5", SF_FORMAT_MAT5 | SF_FORMAT_PCM_16, 1, 32},
        {"pcm16.pvf", SF_FORMAT_PVF | SF_FORMAT_PCM_16, 1, 32},
        {"pcm16.sds", SF_FORMAT_SDS | SF_FORMAT_PCM_16, 1, 32},
        {"pcm16.wve", SF_FORMAT_WVE | SF_FORMAT_ALAW, 1, 32},
        {"alac16.caf", SF_FORMAT_CAF | SF_FORMAT_ALAC_16, 1, 64},
        {"gsm.wav", SF_FORMAT_WAV | SF_FORMAT_GSM610, 1, 320},
        {"dwvw.aiff", SF_FORMAT_AIFF | SF_FORMAT_DWVW_16, 1, 64},
    };
    int failures = 0;
    for (const Seed& seed : seeds) {
        SF_INFO info{};
        info.samplerate = (seed.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WVE ? 8000 : 48000;
        info.channels = seed.channels;
        info.format = seed.format;
        const std::string path = std::string(argv[1]) + "/" + seed.name;
        sorvane::SndFileHandle file(sf_open(path.c_str(), SFM_WRITE, &info));
        if (!file) {
            std::cerr << seed.name << ": " << sf_strerror(nullptr) << "\n";
            ++failures;
            continue;
        }
        std::vector<double> samples(static_cast<std::size_t>(seed.frames * seed.channels));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = 0.7 * std::sin(static_cast<double>(i) * 0.21) - 0.1;
        }
        sf_writef_double(file.get(), samples.data(), seed.frames);
    }
    return failures == 0 ? 0 : 1;
}
