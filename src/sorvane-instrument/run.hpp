#pragma once

#include <ostream>

namespace sorvane {

// sorvane-instrument: loops a folder of recorded notes and makes of them an
// instrument (SFZ, SoundFont 2, JSON) and a page to hear it. Returns the
// exit status: 0 when every note is in, 1 when any is left out or nothing
// could be made, 2 for a mistake on the command line.
int runInstrument(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

} // namespace sorvane
