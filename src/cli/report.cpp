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
    const int error = errno;
    err << "Error writing standard output: " << (error != 0 ? std::strerror(error) : "unknown error") << "\n";
    return false;
}

} // namespace sorvane
