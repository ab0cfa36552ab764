#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <sndfile.h>

#include "audio_io/lossy_writer.hpp"

namespace sorvane {

// The format an output at `path` is written in. When the name's extension
// names a format libsndfile writes (wav, aif, aiff, flac, ogg, oga, opus,
// mp3, au, caf, w64, rf64, ...), that format, with the nearest encoding that
// keeps the input's resolution (24-bit PCM stays 24-bit where the format
// has it, floating point goes to the finest integer encoding a format
// without it has); when it names none, or none at all, the input's own
// format. The sample rate and channels are always the input's.
int outputFormatFor(const std::string& path, const SF_INFO& input);

// The input's bit rate in kbit/s, as the encoder of a lossy output is set
// from it: the nominal rate a lossy file declares (Vorbis, constant-rate
// MP3), else its average (Opus, variable-rate MP3), else the size of the
// file over its length.
// The file is read through `fd`, the input's own descriptor.
std::optional<double> bitRateOf(int fd, const SF_INFO& info, std::optional<std::uint64_t> fileBytes);

// How a lossy encoder of `format` is set for a loop of an input at
// `sampleRate`. A lossy input's rate (`lossyKbps`) is a floor: the output is
// encoded at no lower a rate, or at the codec's finest when it cannot reach
// it. A lossless input gets each codec's sensible default, not its maximum:
// Vorbis quality 6, Opus 64 kbit/s a channel, MP3 VBR level 2.
EncoderSettings encoderSettingsFor(int format, int channels, int sampleRate, std::optional<double> lossyKbps);

// The encoder `format` gets from `--quality Q`: Vorbis quality -1 to 10,
// Opus bit rate 6 to 510 kbit/s, MP3 VBR level 0 (finest) to 9; or why Q
// is not one of these.
struct QualityChoice {
    EncoderSettings settings;
    std::optional<std::string> refused;
};
QualityChoice encoderSettingsFromQuality(int format, const std::string& quality);

// Whether a format's encoding loses what it cannot hear (Vorbis, Opus, MP3).
bool isLossy(int format);

// The fewest bits a sample of an uncompressed encoding takes, or 0 when the
// encoding is compressed and a file's size says little of its length.
unsigned fewestBitsPerSample(int format);

// For a loop of `frames` frames: the format to write it in (a WAV of more
// than 4 GiB becomes an RF64), or why a format with a size limit of its own
// cannot hold it.
struct SizedFormat {
    int format = 0;
    std::optional<std::string> tooLarge;
};
SizedFormat formatForSize(int format, int channels, std::uint64_t frames, std::uint64_t limitBytes = 0xFFFFFFFFULL);

} // namespace sorvane
