#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, generates the seed corpus and fuzzes: the
# audio path (arbitrary bytes as an input file) and what files carry
# besides their audio (chunks, blocks, comments built from the bytes), half
# the time each.
# Usage: ./fuzz.sh [seconds]   (default 600)
set -euo pipefail
cd "$(dirname "$0")"
seconds=${1:-600}

scripts/ensure-packages.sh clang libclang-rt-14-dev llvm-14 cmake make pkg-config libsndfile1-dev libvorbis-dev libogg-dev libopus-dev libmp3lame-dev libsoxr-dev libfftw3-dev \
    libtag1-dev

build_dir=build-fuzz
cmake -S . -B "$build_dir" \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSORVANE_BUILD_TESTS=OFF \
    -DSORVANE_WARNINGS_AS_ERRORS=ON \
    -DSORVANE_SANITIZE=ON \
    -DSORVANE_FUZZ=ON >/dev/null
cmake --build "$build_dir" --parallel 2 --target sorvane_fuzz sorvane_fuzz_metadata sorvane_fuzz_corpus

seeds="$build_dir/seeds"
corpus="$build_dir/corpus"
mkdir -p "$seeds" "$corpus" "$build_dir/findings"
"$build_dir/sorvane_fuzz_corpus" "$seeds"

# Allocation failures become std::bad_alloc, as in a normal build, instead of
# sanitizer reports; the run itself handles them.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
export LSAN_OPTIONS="suppressions=$PWD/suppressions/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Without a symbolizer a finding's stack would be bare addresses.
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
# libsndfile's decoders print notes of their own to standard error; the
# fuzzer's report goes there too, so keep all of it in a log and show the end.
status=0
# One target for half the time; its corpus grows in a folder of its own.
fuzz() {
    local target=$1 corpus=$2 log="$build_dir/$1.log"
    shift 2
    local result=0
    mkdir -p "$corpus"
    "$build_dir/$target" \
        -max_total_time="$(( (seconds + 1) / 2 ))" \
        -max_len=65536 \
        -timeout=20 \
        -rss_limit_mb=4096 \
        -print_final_stats=1 \
        -close_fd_mask=1 \
        -artifact_prefix="$build_dir/findings/$target-" \
        "$corpus" "$@" 2>"$log" || result=$?
    echo "$target:"
    grep -E '^(#[0-9]+ +(INITED|DONE)|stat::|Done |==[0-9]+==|SUMMARY|artifact_prefix|Test unit written)' "$log" || true
    if [ "$result" -ne 0 ]; then
        echo "fuzzing $target found a problem (status $result); the full log is $log" >&2
        tail -n 60 "$log" >&2
        status=$result
    fi
}
fuzz sorvane_fuzz "$corpus" "$seeds"
# The metadata target's seeds are programs for its file builder: a WAV with
# a Latin-1 INFO copyright, one of forty chunks, each family through a pipe.
metadata_seeds="$build_dir/seeds-metadata"
mkdir -p "$metadata_seeds"
printf '\x00\x01\x00\x0a\x01\x00\x01\x05\x00\xa9 202' >"$metadata_seeds/latin1-info.wav"
printf '\x00\x28\x00' >"$metadata_seeds/forty-chunks.wav"
for kind in 80 81 82 83; do printf "\\x$kind\\x01\\x00" >"$metadata_seeds/piped-$kind"; done
printf '\x02\x01\x05\x00\x02\x04\x02\x00' >"$metadata_seeds/blocks.flac"
fuzz sorvane_fuzz_metadata "$build_dir/corpus-metadata" "$metadata_seeds"
exit "$status"
