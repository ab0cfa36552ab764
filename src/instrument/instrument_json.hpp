#pragma once

#include <string>

#include "instrument/instrument.hpp"

namespace sorvane {

// The instrument as JSON: per note the file, its sample, root and cents,
// where the root came from, loop, blend, level change, seam verdict, keys
// and velocities; and the notes left out, with why.
std::string instrumentJson(const Instrument& instrument, const std::string& madeBy);

} // namespace sorvane
