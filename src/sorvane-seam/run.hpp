#pragma once

#include <ostream>

namespace sorvane {

// sorvane-seam: judges whether a loop clicks where it wraps around and, when
// asked, draws the seam as SVG. Returns the process exit status.
int runSeam(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

} // namespace sorvane
