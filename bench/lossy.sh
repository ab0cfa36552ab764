#!/usr/bin/env bash
# What the seamless lossy writer costs: sorvane making a CROSSFADE 10 loop of
# a stereo 44.1 kHz recording straight into Ogg Vorbis, MP3 and Ogg Opus,
# against encoding the same loop, already made, with SoX (Vorbis, MP3) or
# opusenc (Opus) at the same quality: the whole run, and the writing alone
# (the run less the same run into WAV, which costs next to nothing to write;
# the writing includes judging the file decoded); peak memory beside the
# FLAC loop's.
# Usage: bench/lossy.sh [runs] [minutes]   (defaults 3 and 3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
minutes=${2:-3}

scripts/ensure-packages.sh g++ cmake make pkg-config libsndfile1-dev libvorbis-dev libogg-dev libopus-dev \
    libmp3lame-dev libsoxr-dev libfftw3-dev libtag1-dev time bc sox libsox-fmt-mp3 opus-tools

build_dir=build-bench
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --parallel 2 --target sorvane sorvane-make-example >/dev/null
work=$build_dir/work-lossy
mkdir -p "$work"
input=$work/take.wav
[ -f "$input" ] || sox -n -r 44100 -c 2 -b 16 "$input" synth "$((minutes * 60))" pinknoise pinknoise \
    tremolo 0.3 40 gain -6
"$build_dir/sorvane" "$input" "$work/loop.wav" CROSSFADE 10 >/dev/null

# The best of the runs, in seconds, and the peak resident memory of the last.
measure() {
    local best=
    for ((i = 0; i < runs; i++)); do
        local start end
        start=$(date +%s.%N)
        /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1
        end=$(date +%s.%N)
        best=$(echo "$start $end ${best:-}" | awk '{t = $2 - $1; if ($3 == "" || t < $3) print t; else print $3}')
    done
    echo "$best $(cat "$work/rss")"
}

printf '%-8s %12s %12s %12s %8s %8s %10s\n' format "run (s)" "writing (s)" "encoder (s)" "run/enc" "wr./enc" "peak MiB"
read -r wav_time _ < <(measure "$build_dir/sorvane" "$input" "$work/again.wav" CROSSFADE 10)
read -r flac_time flac_rss < <(measure "$build_dir/sorvane" "$input" "$work/loop.flac" CROSSFADE 10)
printf '%-8s %12.2f %12.2f %12s %8s %8s %10.1f\n' flac "$flac_time" "$(echo "$flac_time - $wav_time" | bc -l)" - - - \
    "$(echo "$flac_rss / 1024" | bc -l)"
for format in ogg mp3 opus; do
    read -r ours rss < <(measure "$build_dir/sorvane" "$input" "$work/loop.$format" CROSSFADE 10)
    case $format in
        ogg) read -r theirs _ < <(measure sox "$work/loop.wav" -C 6 "$work/sox.ogg") ;;
        mp3) read -r theirs _ < <(measure sox "$work/loop.wav" -C -2.2 "$work/sox.mp3") ;;
        opus) read -r theirs _ < <(measure opusenc --quiet --bitrate 128 "$work/loop.wav" "$work/opusenc.opus") ;;
    esac
    writing=$(echo "$ours - $wav_time" | bc -l)
    printf '%-8s %12.2f %12.2f %12.2f %8.2f %8.2f %10.1f\n' "$format" "$ours" "$writing" "$theirs" \
        "$(echo "$ours / $theirs" | bc -l)" "$(echo "$writing / $theirs" | bc -l)" "$(echo "$rss / 1024" | bc -l)"
done
