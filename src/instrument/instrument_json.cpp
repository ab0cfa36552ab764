#include "instrument/instrument_json.hpp"

#include <cmath>
#include <cstdio>

#include "escape/escape.hpp"

namespace sorvane {

namespace {

std::string number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace

std::string instrumentJson(const Instrument& instrument, const std::string& madeBy) {
    std::string json = "{\n  \"name\": " + quoteJson(instrument.name) + ",\n  \"made_by\": " + quoteJson(madeBy) +
                       ",\n  \"notes\": [";
    for (std::size_t i = 0; i < instrument.samples.size(); ++i) {
        const InstrumentSample& s = instrument.samples[i];
        std::string rules;
        for (const std::string& rule : s.rules) {
            rules += (rules.empty() ? "" : ", ") + quoteJson(rule);
        }
        json += std::string(i > 0 ? "," : "") + "\n    {\"file\": " + quoteJson(s.input) +
                ", \"sample\": " + quoteJson(s.file) + ", \"channels\": " + std::to_string(s.channels) +
                ", \"sample_rate\": " + std::to_string(s.sampleRate) + ", \"frames\": " + std::to_string(s.frames) +
                ",\n     \"root\": " + std::to_string(s.root) + ", \"tune_cents\": " + std::to_string(s.tuneCents) +
                ", \"root_from\": " + quoteJson(s.rootFrom) + ", \"pitch_found\": " +
                (s.foundNote ? "{\"midi_note\": " + number(*s.foundNote, 3) + ", \"hz\": " +
                                   number(440.0 * std::exp2((*s.foundNote - 69.0) / 12.0), 3) + "}"
                             : std::string("null")) +
                ",\n     \"loop\": {\"first_frame\": " + std::to_string(s.loopStart) +
                ", \"last_frame\": " + std::to_string(s.loopEnd - 1) +
                ", \"frames\": " + std::to_string(s.loopEnd - s.loopStart) +
                ", \"seconds\": " + number(static_cast<double>(s.loopEnd - s.loopStart) / s.sampleRate, 6) +
                "}, \"crossfade_frames\": " + std::to_string(s.crossfadeFrames) +
                ", \"level_change_db\": " + number(s.levelChangeDb, 3) + ", \"flatten_db\": " + number(s.flattenDb, 3) +
                ",\n     \"seam\": {\"verdict\": " + quoteJson(s.verdict) + ", \"fired\": [" + rules + "]}" +
                ", \"keys\": [" + std::to_string(s.zone.lowKey) + ", " + std::to_string(s.zone.highKey) +
                "], \"velocities\": [" + std::to_string(s.zone.lowVelocity) + ", " +
                std::to_string(s.zone.highVelocity) + "], \"release_seconds\": " + number(s.releaseSeconds, 3) + "}";
    }
    json += instrument.samples.empty() ? "],\n  \"left_out\": [" : "\n  ],\n  \"left_out\": [";
    for (std::size_t i = 0; i < instrument.leftOut.size(); ++i) {
        json += std::string(i > 0 ? "," : "") + "\n    {\"file\": " + quoteJson(instrument.leftOut[i].input) +
                ", \"reason\": " + quoteJson(instrument.leftOut[i].reason) + "}";
    }
    json += instrument.leftOut.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return json;
}

} // namespace sorvane
