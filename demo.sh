#!/usr/bin/env bash
# Builds the programs in Release, synthesises the example recordings, loops
# the plucked string in each mode and judges the seams, then finds a loop in
# the sustain of a bowed note; everything goes to out/.
set -euo pipefail
cd "$(dirname "$0")"

scripts/ensure-packages.sh g++ cmake make pkg-config libsndfile1-dev libvorbis-dev libogg-dev libopus-dev libmp3lame-dev libsoxr-dev libfftw3-dev libtag1-dev

build_dir=build-release
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --parallel 2

mkdir -p out
"$build_dir/sorvane-make-example" out/example.wav
echo "Example sound: out/example.wav (2.5 s plucked string, stereo, 44.1 kHz, 16-bit WAV)"
for mode in CROSSFADE PINGPONG ZEROCROSSING; do
    lower=$(echo "$mode" | tr '[:upper:]' '[:lower:]')
    echo
    echo "\$ sorvane out/example.wav out/example-$lower.wav $mode"
    "$build_dir/sorvane" out/example.wav "out/example-$lower.wav" "$mode"
    echo "\$ sorvane-seam --svg out/example-$lower-seam.svg out/example-$lower.wav"
    # Status 1 is a verdict (the loop is flagged), not a failure of the demo.
    status=0
    "$build_dir/sorvane-seam" --svg "out/example-$lower-seam.svg" "out/example-$lower.wav" || status=$?
    [ "$status" -le 1 ] || exit "$status"
done

# A note with a sustain: keep its attack and mark a loop in it for samplers.
"$build_dir/sorvane-make-example" --bowed out/bowed.wav
echo
echo "Example note: out/bowed.wav (4 s bowed G3 with vibrato, stereo, 44.1 kHz, 16-bit WAV)"
echo "\$ sorvane-sustain out/bowed.wav out/bowed-looped.wav --sfz out/bowed.sfz"
"$build_dir/sorvane-sustain" out/bowed.wav out/bowed-looped.wav --sfz out/bowed.sfz

# A folder of notes made into an instrument that samplers and synthesizers load.
rm -rf out/notes out/bowed-strings
"$build_dir/sorvane-make-example" --notes out/notes 6
echo
echo "Example notes: out/notes/ (6 bowed notes, C3 to D#4, three semitones apart, one file each)"
echo "\$ sorvane-instrument -o out/bowed-strings out/notes"
"$build_dir/sorvane-instrument" -o out/bowed-strings out/notes
echo "Open out/bowed-strings/index.html to hear every loop; load bowed-strings.sf2 or .sfz in a player."
