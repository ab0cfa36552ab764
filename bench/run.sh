#!/usr/bin/env bash
# Benchmarks: whole runs of sorvane beside the block-I/O floor program, SoX and
# ffmpeg (where installed), then the builders' microbenchmarks.
# Usage: bench/run.sh [runs]   (default 5; MINUTES=10 sets the long file's length)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

scripts/ensure-packages.sh g++ cmake make pkg-config libsndfile1-dev libvorbis-dev libogg-dev libopus-dev libmp3lame-dev libsoxr-dev libfftw3-dev libtag1-dev libbenchmark-dev python3 time sox

build_dir=build-bench
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSORVANE_BUILD_TESTS=OFF \
    -DSORVANE_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build_dir" --parallel 2

python3 bench/compare.py --build "$build_dir" --work "$build_dir/work-${MINUTES:-10}" --runs "$runs" --minutes "${MINUTES:-10}"
echo
"$build_dir/sorvane_builders_benchmark" --benchmark_min_time=0.5
