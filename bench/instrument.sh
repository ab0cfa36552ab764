#!/usr/bin/env bash
# Times sorvane-instrument on 60 bowed notes of 5 s each, stereo 24-bit at
# 48 kHz (20 pitches three semitones apart over five octaves, three takes
# of each, as a sample library ships them), on every core, and prints the
# median, fastest and slowest wall time of the runs and the peak memory.
# The target is under 4 s and 256 MiB on 2 cores.
# Usage: bench/instrument.sh [runs]   (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

scripts/ensure-packages.sh g++ cmake make pkg-config libsndfile1-dev libvorbis-dev libogg-dev libopus-dev libmp3lame-dev libsoxr-dev libfftw3-dev libtag1-dev time

build_dir=build-release
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --parallel 2 --target sorvane-instrument sorvane-make-example >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build_dir/sorvane-make-example" --notes "$work/notes" 60 5 48000 24
times=()
memory=0
for _ in $(seq "$runs"); do
    rm -rf "$work/instrument"
    sync
    /usr/bin/time -f "%e %M" -o "$work/time" \
        "$build_dir/sorvane-instrument" -q -o "$work/instrument" "$work/notes"
    read -r seconds kilobytes <"$work/time"
    times+=("$seconds")
    memory=$((kilobytes > memory ? kilobytes : memory))
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
median=$(sed -n "$(((runs + 1) / 2))p" <<<"$sorted")
echo "sorvane-instrument, 60 notes of 5 s, stereo 24-bit WAV at 48 kHz, $(nproc) cores, $runs runs:"
echo "  median $median s (fastest $(head -1 <<<"$sorted") s, slowest $(tail -1 <<<"$sorted") s), peak $((memory / 1024)) MiB"
echo "  instrument: $(du -sh "$work/instrument" | cut -f1), page $(du -h "$work/instrument/index.html" | cut -f1)"
