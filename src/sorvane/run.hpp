#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "loops/loop_mode.hpp"

namespace sorvane {

// A crossfade length in percent, 0 to 100 inclusive, as strtof reads it in
// the C locale; the whole text must be consumed.
std::optional<float> parseCrossfadePercent(const char* text);

// The whole run: arguments, reading, building, writing and the report.
// Returns the process exit status.
int runSorvane(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

} // namespace sorvane
