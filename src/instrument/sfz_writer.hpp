#pragma once

#include <string>

#include "instrument/instrument.hpp"

namespace sorvane {

// The instrument as SFZ: one region per sample, each playing its loop while
// the key is held and the rest of the sample after it (loop_sustain), with
// an amplitude release as long as the note's own.
std::string sfzOf(const Instrument& instrument, const std::string& madeBy);

} // namespace sorvane
