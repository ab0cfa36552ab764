#include <iostream>

#include "audio_io/interrupt_cleanup.hpp"
#include "sorvane-sustain/run.hpp"

int main(int argc, char** argv) {
    sorvane::installSignalHandling();
    return sorvane::runSustain(argc, argv, std::cout, std::cerr);
}
