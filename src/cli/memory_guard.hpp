#pragma once

#include <new>
#include <stdexcept>

namespace sorvane {

// Memory that cannot be had (an absurd declared length, say) ends `run` with
// `status`; the programs have no message of their own for it.
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
