#pragma once

#include <ostream>

namespace sorvane {

// Flushes a run's report. A report or verdict that did not reach its reader
// (standard output on a full disk, say) fails the run: the caller returns 1
// after this has said why on `err`.
bool flushReport(std::ostream& out, std::ostream& err);

} // namespace sorvane
