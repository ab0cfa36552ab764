#!/usr/bin/env bash
# Builds with warnings as errors and AddressSanitizer plus
# UndefinedBehaviorSanitizer, then runs the whole suite through ctest.
set -euo pipefail
cd "$(dirname "$0")"

scripts/ensure-packages.sh g++ cmake make pkg-config libsndfile1-dev libvorbis-dev libfftw3-dev libtag1-dev libgtest-dev \
    libopusfile-dev libogg-dev libopus-dev libmp3lame-dev libsoxr-dev flac vorbis-tools lintian groff-base dpkg-dev \
    file python3 fluidsynth chromium ffmpeg python3-pygame

build_dir=build-test
cmake -S . -B "$build_dir" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSORVANE_BUILD_TESTS=ON \
    -DSORVANE_WARNINGS_AS_ERRORS=ON \
    -DSORVANE_SANITIZE=ON
cmake --build "$build_dir" --parallel 2
# A huge allocation must fail as std::bad_alloc, as in a normal build; a leak
# inside libsndfile that we cannot mend is suppressed (see suppressions/).
export ASAN_OPTIONS=allocator_may_return_null=1
export LSAN_OPTIONS="suppressions=$PWD/suppressions/lsan.supp:print_suppressions=0"
ctest --test-dir "$build_dir" --output-on-failure --parallel 2 --timeout 300
