#!/usr/bin/env bash
# Drives the bash completion as bash would and checks what it offers.
set -euo pipefail
completion=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir "field takes"
touch "kick.wav" "pad one.FLAC" "notes.txt" "field takes/gull.aiff" "kick seam.svg" "pad.sfz" "pads.html"

# shellcheck source=/dev/null
source "$completion"
compopt() { :; } # only valid inside a real completion

failures=0
expect() {
    local words=$1 want=$2 function=_sorvane
    [[ $words == sorvane-seam* ]] && function=_sorvane_seam
    [[ $words == sorvane-sustain* ]] && function=_sorvane_sustain
    [[ $words == sorvane-instrument* ]] && function=_sorvane_instrument
    read -r -a COMP_WORDS <<<"$words"
    [[ $words == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    "$function"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' '|')
    if [[ $got != "$want" ]]; then
        echo "FAIL: '$words' offered '$got', expected '$want'"
        failures=$((failures + 1))
    fi
}

expect "sorvane " "field takes/|kick.wav|pad one.FLAC|"
expect "sorvane k" "kick.wav|"
expect "sorvane kick.wav field" "field takes/|"
expect "sorvane kick.wav out.wav " "CROSSFADE|PINGPONG|ZEROCROSSING|"
expect "sorvane kick.wav out.wav ping" "PINGPONG|"
expect "sorvane kick.wav out.wav Z" "ZEROCROSSING|"
expect "sorvane kick.wav out.wav CROSSFADE " "|"  # an empty reply prints one empty line
expect "sorvane-seam " "field takes/|kick.wav|pad one.FLAC|"
expect "sorvane-sustain kick.wav " "field takes/|kick.wav|pad one.FLAC|"
expect "sorvane-sustain --sfz " "field takes/|pad.sfz|"
expect "sorvane-sustain --no" "--no-crossfade|"
expect "sorvane-sustain --crossfade " "|"
expect "sorvane-seam kick.wav " "field takes/|kick.wav|pad one.FLAC|"
expect "sorvane-seam --svg " "field takes/|kick seam.svg|"
expect "sorvane-seam --svg-dir " "field takes/|"
expect "sorvane-seam --format t" "text|tsv|"
expect "sorvane-seam --s" "--shared-scale|--svg|--svg-dir|"
expect "sorvane-seam --html " "field takes/|pads.html|"
expect "sorvane-instrument -o " "field takes/|"
expect "sorvane-instrument --format " "flac|wav|"
expect "sorvane-instrument -o kit " "field takes/|kick.wav|pad one.FLAC|"
expect "sorvane-instrument --no" "--no-crossfade|"
[[ $(complete -p sorvane-instrument) == *_sorvane_instrument* ]] || { echo "FAIL: sorvane-instrument not registered"; failures=$((failures + 1)); }
[[ $(complete -p sorvane-seam) == *_sorvane_seam* ]] || { echo "FAIL: sorvane-seam not registered"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "all passed"
