#include "cli/report.hpp"

#include <cerrno>
#include <cstring>

namespace sorvane {

bool flushReport(std::ostream& out, std::ostream& err) {
    errno = 0;
    out.flush();
    if (out) {
        return true;
    }
    // A stream that failed earlier leaves no errno behind; it was an I/O error.
    const int error = errno != 0 ? errno : EIO;
    err << "Error writing standard output: " << std::strerror(error) << "\n";
    return false;
}

} // namespace sorvane
