#pragma once

#include <new>
#include <ostream>
#include <stdexcept>
#include <string>

namespace sorvane {

// Turns exhausted memory into a message and an exit status: memory that
// cannot be had (an absurd declared length, or a sound too long for the
// machine) ends `run` with `status`, after `message` (which names the file)
// on `err`.
template <typename Run>
int whenMemoryRunsOut(int status, std::ostream& err, const std::string& message, Run run) {
    try {
        return run();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    err << message << std::flush;
    return status;
}

// The companions' words for it, after the name of the file they were at.
inline std::string notEnoughMemoryFor(const std::string& path) { return path + ": Error: not enough memory.\n"; }

} // namespace sorvane
