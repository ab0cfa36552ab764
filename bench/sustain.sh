#!/usr/bin/env bash
# Times sorvane-sustain on a 10-second stereo 16-bit note at 48 kHz (the
# example generator's bowed G3), pinned to one core, and prints the median,
# the fastest and the slowest of the runs, and the peak memory.
# Usage: bench/sustain.sh [runs]   (default 9)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-9}

scripts/ensure-packages.sh g++ cmake make pkg-config libsndfile1-dev libvorbis-dev libogg-dev libopus-dev libmp3lame-dev libsoxr-dev libfftw3-dev libtag1-dev time

build_dir=build-release
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --parallel 2 --target sorvane-sustain sorvane-make-example >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build_dir/sorvane-make-example" --bowed "$work/note.wav" 10 48000
times=()
memory=0
for _ in $(seq "$runs"); do
    sync
    taskset -c 0 /usr/bin/time -f "%e %M" -o "$work/time" \
        "$build_dir/sorvane-sustain" "$work/note.wav" "$work/looped.wav" >/dev/null
    read -r seconds kilobytes <"$work/time"
    times+=("$seconds")
    memory=$((kilobytes > memory ? kilobytes : memory))
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
median=$(sed -n "$(((runs + 1) / 2))p" <<<"$sorted")
echo "sorvane-sustain, 10 s stereo 16-bit WAV at 48 kHz, one core, $runs runs:"
echo "  median $median s (fastest $(head -1 <<<"$sorted") s, slowest $(tail -1 <<<"$sorted") s), peak $((memory / 1024)) MiB"
