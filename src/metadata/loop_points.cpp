#include "metadata/loop_points.hpp"

#include <algorithm>
#include <cmath>

#include <sndfile.h>

namespace sorvane {

std::optional<LoopCarrier> loopCarrierOf(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
        return LoopCarrier::WaveSampler;
    case SF_FORMAT_AIFF:
        return LoopCarrier::AiffInstrument;
    case SF_FORMAT_FLAC:
        return LoopCarrier::XiphComments;
    case SF_FORMAT_OGG:
        if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_VORBIS || (format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS) {
            return LoopCarrier::XiphComments;
        }
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

std::string containerName(int format) {
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name != nullptr) {
        return info.name;
    }
    return "this";
}

UnityNote unityNoteOf(double midiNote) {
    UnityNote unity;
    const double clamped = std::clamp(midiNote, 0.0, 127.0);
    unity.note = static_cast<int>(std::floor(clamped));
    unity.centsAbove = static_cast<int>(std::lround((clamped - std::floor(clamped)) * 100.0));
    if (unity.centsAbove == 100) {
        unity.note += 1;
        unity.centsAbove = 0;
    }
    if (unity.note > 127) {
        unity.note = 127;
        unity.centsAbove = 99;
    }
    return unity;
}

} // namespace sorvane
