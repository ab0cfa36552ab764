#include <iostream>

#include "audio_io/interrupt_cleanup.hpp"
#include "sorvane-instrument/run.hpp"

int main(int argc, char** argv) {
    sorvane::installSignalHandling();
    return sorvane::runInstrument(argc, argv, std::cout, std::cerr);
}
