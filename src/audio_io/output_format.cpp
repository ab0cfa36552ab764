#include "audio_io/output_format.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <map>

#include <taglib/id3v2framefactory.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <vorbis/vorbisenc.h>

#include "metadata/descriptor_stream.hpp"
#include "metadata/loop_points.hpp"

namespace sorvane {

namespace {

std::string extensionOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size()) {
        return "";
    }
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

// The major format an extension names: the usual spellings first, then
// libsndfile's own list (the first format that claims the extension).
std::optional<int> majorFormatOf(const std::string& extension) {
    static const std::map<std::string, int> usual = {
        {"wav", SF_FORMAT_WAV},   {"wave", SF_FORMAT_WAV},   {"aif", SF_FORMAT_AIFF}, {"aiff", SF_FORMAT_AIFF},
        {"aifc", SF_FORMAT_AIFF}, {"ogg", SF_FORMAT_OGG},    {"oga", SF_FORMAT_OGG},  {"opus", SF_FORMAT_OGG},
        {"mp3", SF_FORMAT_MPEG},  {"snd", SF_FORMAT_AU},     {"sph", SF_FORMAT_NIST}, {"nist", SF_FORMAT_NIST},
        {"svx", SF_FORMAT_SVX},   {"8svx", SF_FORMAT_SVX},   {"ircam", SF_FORMAT_IRCAM}};
    if (const auto found = usual.find(extension); found != usual.end()) {
        return found->second;
    }
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) == 0 && info.extension != nullptr &&
            extension == info.extension) {
            return info.format & SF_FORMAT_TYPEMASK;
        }
    }
    return std::nullopt;
}

// Integer and floating-point encodings from the coarsest to the finest.
constexpr std::array<int, 7> kLadder = {SF_FORMAT_PCM_U8, SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24,
                                        SF_FORMAT_PCM_32, SF_FORMAT_FLOAT,  SF_FORMAT_DOUBLE};

// Where an encoding stands on the ladder: a compressed or companded one
// (and a lossy one) as 16-bit PCM, the resolution it is heard at.
std::size_t rungOf(int subtype) {
    switch (subtype) {
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_S8:
        return 1;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
        return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAC_32:
        return 4;
    case SF_FORMAT_FLOAT:
        return 5;
    case SF_FORMAT_DOUBLE:
        return 6;
    default:
        return 2;
    }
}

bool writable(int format, const SF_INFO& input) {
    SF_INFO info{};
    info.format = format;
    info.channels = input.channels;
    info.samplerate = input.samplerate;
    return sf_format_check(&info) == SF_TRUE;
}

// The finest nominal rate, kbit/s, that libvorbisenc gives `quality` (0 to
// 1); it reports none above 48 kHz, where 48 kHz's is near enough.
double vorbisNominalKbps(int channels, int sampleRate, double quality) {
    for (const int rate : {sampleRate, 48000}) {
        vorbis_info info;
        vorbis_info_init(&info);
        const bool made = vorbis_encode_init_vbr(&info, channels, rate, static_cast<float>(quality)) == 0;
        const long nominal = made ? info.bitrate_nominal : 0;
        vorbis_info_clear(&info);
        if (nominal > 0) {
            return static_cast<double>(nominal) / 1000.0;
        }
    }
    return 0.0;
}

} // namespace

int outputFormatFor(const std::string& path, const SF_INFO& input) {
    const std::string extension = extensionOf(path);
    const std::optional<int> major = majorFormatOf(extension);
    if (!major) {
        return input.format;
    }
    const int inputMajor = input.format & SF_FORMAT_TYPEMASK;
    const int inputSubtype = input.format & SF_FORMAT_SUBMASK;
    if (*major == SF_FORMAT_OGG) {
        const bool opus = extension == "opus";
        if (inputMajor == SF_FORMAT_OGG && (opus ? inputSubtype == SF_FORMAT_OPUS : inputSubtype != SF_FORMAT_OPUS)) {
            return input.format;
        }
        return SF_FORMAT_OGG | (opus ? SF_FORMAT_OPUS : SF_FORMAT_VORBIS);
    }
    if (*major == inputMajor) {
        return input.format;
    }
    if (inputMajor == SF_FORMAT_WAVEX || inputMajor == SF_FORMAT_RF64) {
        if (*major == SF_FORMAT_WAV) {
            return input.format; // a WAV by name already
        }
    }
    if (*major == SF_FORMAT_MPEG) {
        return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    }
    // A lossy encoding goes with its own container: elsewhere (MP3 in a
    // WAV, which libsndfile knows of) the decoded samples go as PCM.
    if (!isLossy(input.format) && writable(*major | inputSubtype, input)) {
        return *major | inputSubtype;
    }
    // Up the ladder from the input's resolution first, so that none is
    // lost where the format allows, then down to the finest it takes.
    const std::size_t rung = rungOf(inputSubtype);
    for (std::size_t i = rung; i < kLadder.size(); ++i) {
        if (writable(*major | kLadder[i], input)) {
            return *major | kLadder[i];
        }
    }
    for (std::size_t i = rung; i-- > 0;) {
        if (writable(*major | kLadder[i], input)) {
            return *major | kLadder[i];
        }
    }
    return *major | inputSubtype; // nothing fits: libsndfile says why when it opens the file
}

std::optional<double> bitRateOf(int fd, const SF_INFO& info, std::optional<std::uint64_t> fileBytes) {
    const int major = info.format & SF_FORMAT_TYPEMASK;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    // Read through the input's own descriptor: its path may name a pipe.
    DescriptorStream stream(fd, 0, DescriptorStream::Access::ReadOnly);
    if (fileBytes) {
        if (major == SF_FORMAT_MPEG) {
            TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), true,
                                    TagLib::AudioProperties::Average);
            if (file.isValid() && file.audioProperties() != nullptr && file.audioProperties()->bitrate() > 0) {
                return file.audioProperties()->bitrate();
            }
        } else if (major == SF_FORMAT_OGG && subtype == SF_FORMAT_VORBIS) {
            TagLib::Ogg::Vorbis::File file(&stream, true, TagLib::AudioProperties::Average);
            if (const auto* properties = file.isValid() ? file.audioProperties() : nullptr) {
                // A busy recording runs far above its quality's nominal rate:
                // the higher of the two.
                const double rate = std::max(properties->bitrateNominal() / 1000.0, static_cast<double>(properties->bitrate()));
                if (rate > 0.0) {
                    return rate;
                }
            }
        } else if (major == SF_FORMAT_OGG && subtype == SF_FORMAT_OPUS) {
            TagLib::Ogg::Opus::File file(&stream, true, TagLib::AudioProperties::Average);
            if (file.isValid() && file.audioProperties() != nullptr && file.audioProperties()->bitrate() > 0) {
                return file.audioProperties()->bitrate();
            }
        }
    }
    if (fileBytes && info.frames > 0 && info.samplerate > 0) {
        const double seconds = static_cast<double>(info.frames) / info.samplerate;
        return static_cast<double>(*fileBytes) * 8.0 / 1000.0 / seconds;
    }
    return std::nullopt;
}

EncoderSettings encoderSettingsFor(int format, int channels, int sampleRate, std::optional<double> lossyKbps) {
    EncoderSettings settings;
    const std::optional<LossyCodec> codec = lossyCodecOf(format);
    const bool vorbis = codec == LossyCodec::Vorbis;
    const bool opus = codec == LossyCodec::Opus;
    const bool mp3 = codec == LossyCodec::Mp3;
    if (!lossyKbps) {
        if (vorbis) {
            settings.vorbisQuality = 6.0;
        } else if (opus) {
            settings.opusKbps = 64 * channels;
        } else if (mp3) {
            settings.mp3VbrLevel = 2;
        }
        return settings;
    }
    const double kbps = *lossyKbps;
    if (vorbis) {
        // The lowest quality, in tenths, whose nominal rate reaches the
        // input's: Vorbis has no rate of its own to set.
        settings.vorbisQuality = 10.0;
        for (int step = -10; step <= 100; ++step) {
            if (vorbisNominalKbps(channels, sampleRate, step / 100.0) >= kbps) {
                settings.vorbisQuality = step / 10.0;
                break;
            }
        }
    } else if (opus) {
        settings.opusKbps = std::clamp(static_cast<int>(std::ceil(kbps)), 6 * channels, 510);
    } else if (mp3) {
        // A constant rate, the lowest of the layer's rates at or above the
        // input's: LAME's VBR levels promise no rate.
        const bool mpeg1 = sampleRate >= 32000;
        const bool mpeg2 = !mpeg1 && sampleRate >= 16000;
        static const int kMpeg1[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
        static const int kMpeg2[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
        const int* rates = mpeg1 ? kMpeg1 : kMpeg2;
        const int highest = mpeg1 ? 320 : mpeg2 ? 160 : 64;
        int chosen = highest;
        for (int i = 0; i < 14; ++i) {
            if (rates[i] <= highest && rates[i] >= kbps) {
                chosen = rates[i];
                break;
            }
        }
        settings.mp3Kbps = chosen;
    }
    return settings;
}

QualityChoice encoderSettingsFromQuality(int format, const std::string& quality) {
    QualityChoice choice;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(quality.c_str(), &end);
    const bool number = !quality.empty() && end != nullptr && *end == '\0' && errno == 0 && std::isfinite(value);
    const std::optional<LossyCodec> codec = lossyCodecOf(format);
    if (codec == LossyCodec::Vorbis) {
        if (!number || value < -1.0 || value > 10.0) {
            choice.refused = "--quality for Ogg Vorbis is a quality from -1 to 10, not \"" + quality + "\"";
        } else {
            choice.settings.vorbisQuality = value;
        }
    } else if (codec == LossyCodec::Opus) {
        if (!number || value < 6.0 || value > 510.0 || value != std::floor(value)) {
            choice.refused = "--quality for Ogg Opus is a bit rate from 6 to 510 kbit/s, not \"" + quality + "\"";
        } else {
            choice.settings.opusKbps = static_cast<int>(value);
        }
    } else if (codec == LossyCodec::Mp3) {
        if (!number || value < 0.0 || value > 9.0 || value != std::floor(value)) {
            choice.refused = "--quality for MP3 is a VBR level from 0 (finest) to 9, not \"" + quality + "\"";
        } else {
            choice.settings.mp3VbrLevel = static_cast<int>(value);
        }
    } else {
        choice.refused = "--quality sets a lossy encoder (Ogg Vorbis, Ogg Opus, MP3); the output is lossless";
    }
    return choice;
}

bool isLossy(int format) {
    const int subtype = format & SF_FORMAT_SUBMASK;
    return subtype == SF_FORMAT_VORBIS || subtype == SF_FORMAT_OPUS || subtype == SF_FORMAT_MPEG_LAYER_I ||
           subtype == SF_FORMAT_MPEG_LAYER_II || subtype == SF_FORMAT_MPEG_LAYER_III;
}

unsigned fewestBitsPerSample(int format) {
    const int container = format & SF_FORMAT_TYPEMASK;
    if (container == SF_FORMAT_FLAC || container == SF_FORMAT_OGG || container == SF_FORMAT_MPEG) {
        return 0;
    }
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
    case SF_FORMAT_DPCM_8:
        return 8;
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_DPCM_16:
        return 16;
    case SF_FORMAT_PCM_24:
        return 24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        return 32;
    case SF_FORMAT_DOUBLE:
        return 64;
    case SF_FORMAT_IMA_ADPCM:
    case SF_FORMAT_MS_ADPCM:
    case SF_FORMAT_VOX_ADPCM:
    case SF_FORMAT_G721_32:
    case SF_FORMAT_NMS_ADPCM_32:
        return 4;
    case SF_FORMAT_G723_24:
    case SF_FORMAT_NMS_ADPCM_24:
        return 3;
    case SF_FORMAT_G723_40:
        return 5;
    case SF_FORMAT_NMS_ADPCM_16:
        return 2;
    case SF_FORMAT_GSM610: // 33 bytes for 160 samples
        return 1;
    default:
        return 0;
    }
}

SizedFormat formatForSize(int format, int channels, std::uint64_t frames, std::uint64_t limitBytes) {
    SizedFormat sized{format, std::nullopt};
    const int major = format & SF_FORMAT_TYPEMASK;
    switch (major) {
    case SF_FORMAT_RAW: case SF_FORMAT_W64: case SF_FORMAT_RF64: case SF_FORMAT_CAF:
    case SF_FORMAT_FLAC: case SF_FORMAT_OGG: case SF_FORMAT_MPEG:
        return sized; // 64-bit sizes, or none at all
    default:
        break;
    }
    // Room for the header and what a file carries besides its audio.
    constexpr std::uint64_t kHeaderRoom = std::uint64_t{64} << 20;
    const std::uint64_t bits = fewestBitsPerSample(format);
    const std::uint64_t samples = frames * static_cast<std::uint64_t>(channels);
    const std::uint64_t bytes = samples / 8 * bits + (samples % 8) * bits / 8;
    if (bits == 0 || bytes + kHeaderRoom <= limitBytes) {
        return sized;
    }
    if (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX) {
        sized.format = SF_FORMAT_RF64 | (format & SF_FORMAT_SUBMASK) | (format & SF_FORMAT_ENDMASK);
        return sized;
    }
    const double gib = static_cast<double>(bytes) / static_cast<double>(std::uint64_t{1} << 30);
    char size[32];
    std::snprintf(size, sizeof size, "%.1f", gib);
    sized.tooLarge = "the loop would take " + std::string(size) + " GiB, more than " + containerName(format) +
                     " files can hold (4 GiB); name the output .rf64, .w64, .caf or .flac";
    return sized;
}

} // namespace sorvane
