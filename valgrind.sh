#!/usr/bin/env bash
# Runs the end-to-end tests with every sorvane run under valgrind memcheck;
# any memcheck error fails the run that shows it (exit status 99).
set -euo pipefail
cd "$(dirname "$0")"

scripts/ensure-packages.sh g++ cmake make pkg-config libsndfile1-dev libvorbis-dev libogg-dev libopus-dev libmp3lame-dev libsoxr-dev libfftw3-dev libtag1-dev libgtest-dev valgrind

build_dir=build-valgrind
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANE_BUILD_TESTS=ON >/dev/null
cmake --build "$build_dir" --parallel 2 --target sorvane end_to_end_test hostile_input_test

export SORVANE_TEST_WRAPPER="valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect --track-fds=no --suppressions=$PWD/suppressions/valgrind.supp -q"
"$build_dir/tests/end_to_end_test"
"$build_dir/tests/hostile_input_test"
