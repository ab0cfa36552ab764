#!/usr/bin/env bash
# Builds the Debian package from a configured build tree, unpacks it and runs
# the packaged binary on a generated recording.
# Usage: package_test.sh <build dir> <example generator>
set -euo pipefail
build=$1
generator=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/package" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; exit 1; }
deb=$(find "$work/package" -maxdepth 1 -name 'sorvane_*.deb' | head -n 1)
[ -n "$deb" ] || { echo "no package built"; cat "$work/cpack.log"; exit 1; }

failures=0
passes=0
check() {
    if "$@"; then
        passes=$((passes + 1))
    else
        echo "FAIL: $*"
        failures=$((failures + 1))
    fi
}

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
check grep -q 'libsndfile1' <<<"$depends"
check grep -q 'libfftw3' <<<"$depends"
check grep -q 'libtag1' <<<"$depends"
check grep -q 'libvorbisenc2' <<<"$depends"
check grep -q 'libopus0' <<<"$depends"
check grep -q 'libmp3lame0' <<<"$depends"
check grep -q 'libsoxr0' <<<"$depends"
description=$(dpkg-deb -f "$deb" Description)
check grep -q 'sorvane-seam judges' <<<"$description"
check grep -q 'sorvane-sustain keeps' <<<"$description"
check test "${description//;/}" = "$description"

# Debian's own checks of a package; each tag would be a fault of ours.
if command -v lintian >/dev/null; then
    tags=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
    [ -z "$tags" ] || echo "$tags"
    check test -z "$tags"
fi

dpkg-deb -x "$deb" "$work/root"
check test -f "$work/root/usr/share/doc/sorvane/copyright"
check test -f "$work/root/usr/share/doc/sorvane/changelog.gz"
for command in sorvane sorvane-seam sorvane-sustain sorvane-instrument; do
    check test -x "$work/root/usr/bin/$command"
    check test -f "$work/root/usr/share/man/man1/$command.1.gz"
    check test -f "$work/root/usr/share/bash-completion/completions/$command"
done

"$generator" "$work/take.wav"
"$work/root/usr/bin/sorvane" "$work/take.wav" "$work/loop.wav" PingPong >"$work/report"
check grep -qx 'Buffer: 220500 sample frames' "$work/report"
check test -s "$work/loop.wav"
"$work/root/usr/bin/sorvane" "$work/take.wav" "$work/faded.wav" CROSSFADE >/dev/null
"$work/root/usr/bin/sorvane-seam" --svg "$work/seam.svg" "$work/faded.wav" >"$work/seam"
check grep -qx 'seam: smooth' "$work/seam"
check test -s "$work/seam.svg"
"$generator" --bowed "$work/bowed.wav"
"$work/root/usr/bin/sorvane-sustain" "$work/bowed.wav" "$work/bowed-looped.wav" >"$work/sustain"
check grep -q '^Seam:      smooth$' "$work/sustain"
"$generator" --notes "$work/notes" 3 1.5
"$work/root/usr/bin/sorvane-instrument" -q -o "$work/strings" "$work/notes"
check test -s "$work/strings/strings.sf2"
check test -s "$work/strings/strings.sfz"

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "$passes passed, 0 failed"
