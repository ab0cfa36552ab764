#include "instrument/sfz_writer.hpp"

#include <cstdio>

#include "escape/escape.hpp"

namespace sorvane {

std::string sfzOf(const Instrument& instrument, const std::string& madeBy) {
    std::string text = "// " + sfzText(instrument.name) + ", made by " + sfzText(madeBy) + "\n";
    for (const InstrumentSample& s : instrument.samples) {
        char release[32];
        std::snprintf(release, sizeof release, "%.3f", s.releaseSeconds);
        text += "\n<region>\n";
        text += "lokey=" + std::to_string(s.zone.lowKey) + " hikey=" + std::to_string(s.zone.highKey) +
                " lovel=" + std::to_string(s.zone.lowVelocity) + " hivel=" + std::to_string(s.zone.highVelocity) + "\n";
        text += "pitch_keycenter=" + std::to_string(s.root) + " tune=" + std::to_string(s.tuneCents) + "\n";
        text += "loop_mode=loop_sustain loop_start=" + std::to_string(s.loopStart) +
                " loop_end=" + std::to_string(s.loopEnd - 1) + "\n";
        text += "ampeg_release=" + std::string(release) + "\n";
        // Last on its line, where a name with spaces is read whole.
        text += "sample=" + sfzText(s.file) + "\n";
    }
    return text;
}

} // namespace sorvane
