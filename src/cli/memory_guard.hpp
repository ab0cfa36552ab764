#pragma once

#include <new>
#include <stdexcept>

namespace sorvane {

// Memory that cannot be had (an absurd declared length, say) ends a run with
// status 1; the programs have no message of their own for it.
template <typename Run>
int exitOneWhenMemoryRunsOut(Run run) {
    try {
        return run();
    } catch (const std::bad_alloc&) {
        return 1;
    } catch (const std::length_error&) {
        return 1;
    }
}

} // namespace sorvane
