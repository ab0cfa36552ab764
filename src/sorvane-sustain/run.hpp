#pragma once

#include <ostream>

namespace sorvane {

// sorvane-sustain: keeps a note's attack, finds a seamless loop in its
// sustain and writes the whole note with the loop points where samplers
// read them. Returns the process exit status.
int runSustain(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

} // namespace sorvane
