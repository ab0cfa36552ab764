#include <iostream>

#include "cli/seam_run.hpp"

int main(int argc, char** argv) { return sorvane::runSeam(argc, argv, std::cout, std::cerr); }
