#include <iostream>

#include "audio_io/interrupt_cleanup.hpp"
#include "sorvane-seam/run.hpp"

int main(int argc, char** argv) {
    sorvane::installSignalHandling();
    return sorvane::runSeam(argc, argv, std::cout, std::cerr);
}
