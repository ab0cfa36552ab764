#include <iostream>

#include "cli/run.hpp"

int main(int argc, char** argv) { return sorvane::runSorvane(argc, argv, std::cout, std::cerr); }
