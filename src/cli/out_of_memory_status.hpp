#pragma once

#include <new>
#include <stdexcept>

namespace sorvane {

// Turns exhausted memory into an exit status: memory that cannot be had (an
// absurd declared length, say) ends `run` with `status` (1 for sorvane, 2 for
// sorvane-seam); the programs have no message of their own for it.
template <typename Run>
int whenMemoryRunsOut(int status, Run run) {
    try {
        return run();
    } catch (const std::bad_alloc&) {
        return status;
    } catch (const std::length_error&) {
        return status;
    }
}

} // namespace sorvane
