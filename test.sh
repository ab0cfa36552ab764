#!/usr/bin/env bash
# Builds with warnings as errors and AddressSanitizer plus
# UndefinedBehaviorSanitizer, then runs the whole suite through ctest.
set -euo pipefail
cd "$(dirname "$0")"

scripts/ensure-packages.sh g++ cmake make pkg-config libsndfile1-dev libgtest-dev

build_dir=build-test
cmake -S . -B "$build_dir" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSORVANE_BUILD_TESTS=ON \
    -DSORVANE_WARNINGS_AS_ERRORS=ON \
    -DSORVANE_SANITIZE=ON
cmake --build "$build_dir" --parallel 2
ctest --test-dir "$build_dir" --output-on-failure --parallel 2 --timeout 300
