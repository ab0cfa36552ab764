#include "loops/loop_builders.hpp"

namespace sorvane {

InterleavedBuffer wholeLoop(const LoopSource& loop) {
    InterleavedBuffer out(static_cast<std::size_t>(loop.frames()) * loop.channels());
    loop.fill(0, static_cast<std::size_t>(loop.frames()), out.data());
    return out;
}

} // namespace sorvane
