#include <iostream>

#include "audio_io/interrupt_cleanup.hpp"
#include "sorvane/run.hpp"

int main(int argc, char** argv) {
    sorvane::installSignalHandling();
    return sorvane::runSorvane(argc, argv, std::cout, std::cerr);
}
