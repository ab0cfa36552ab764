#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "loops/buffers.hpp"

namespace sorvane {

// Case-blind match of the whole keyword; nothing else is accepted.
std::optional<LoopMode> parseLoopMode(const std::string& keyword);

// A crossfade length in percent, 0 to 100 inclusive, as strtof reads it in
// the C locale; the whole text must be consumed.
std::optional<float> parseCrossfadePercent(const char* text);

// The whole run: arguments, reading, building, writing and the report.
// Returns the process exit status.
int runSorvane(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

} // namespace sorvane
