#!/usr/bin/python3
"""The game-music loops of Debian's `supertux-data` as their designers set
them, judged as the game plays them: the measuring stick for a music looper.

Each track's `.music` file names its Ogg file and the designers' points in
seconds: `loop-begin` (where the game jumps back to) and `loop-at` (where
it jumps; -1 for the end of the file). Per track this prints the length,
the points in seconds and in frames, whether they are whole seconds,
whether the loop is the whole file, and the verdict of sorvane-seam on the
jump, the loop marked in a `smpl` chunk of the decoded track (so that the
jump is judged as a player makes it, from frame E - 1 back to frame S).

Usage: eval/music_eval.py [--build-dir DIR | --seam P] [--keep DIR]
Installs supertux-data and ffmpeg when missing and builds sorvane-seam in
build-release/ unless it is given.
"""
import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from seam_eval import build_programs, mark_loop  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MUSIC = "/usr/share/games/supertux2/music"


def designers_points(path):
    """(Ogg file, loop-begin, loop-at) of a `.music` file."""
    text = open(path, encoding="utf-8").read()
    name = re.search(r'\(file\s+"([^"]+)"\)', text).group(1)
    begin = float(re.search(r"\(loop-begin\s+([-\d.]+)\)", text).group(1))
    at = float(re.search(r"\(loop-at\s+([-\d.]+)\)", text).group(1))
    return os.path.join(os.path.dirname(path), name), begin, at


def whole(seconds):
    return seconds == int(seconds)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-release"))
    parser.add_argument("--seam", help="the sorvane-seam that judges (nothing is built)")
    parser.add_argument("--keep", help="keep the decoded tracks in this folder")
    args = parser.parse_args()
    subprocess.run([os.path.join(ROOT, "scripts/ensure-packages.sh"), "supertux-data", "ffmpeg"], check=True)
    seam = args.seam or build_programs(ROOT, args.build_dir, "sorvane-seam")[0]

    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        work = args.keep or scratch
        os.makedirs(work, exist_ok=True)
        for music in sorted(glob.glob(os.path.join(MUSIC, "*", "*.music"))):
            ogg, begin, at = designers_points(music)
            name = os.path.splitext(os.path.basename(music))[0]
            wav = os.path.join(work, name + ".wav")
            # A plain 44-byte header: no LIST chunk before the audio.
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", ogg, "-map_metadata", "-1", "-fflags", "+bitexact",
                            "-c:a", "pcm_s16le", wav], check=True)
            probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=sample_rate,channels", "-of",
                                    "csv=p=0", wav], capture_output=True, text=True, check=True)
            rate, channels = (int(v) for v in probe.stdout.split()[0].split(","))
            frames = (os.path.getsize(wav) - 44) // (2 * channels)
            start = round(begin * rate)
            # The game jumps at loop-at, or at the end of the file: a point
            # past it is never reached.
            end = frames if at <= 0 or round(at * rate) >= frames else round(at * rate)
            mark_loop(wav, rate, (start, end))
            rows.append({"name": name, "wav": wav, "seconds": frames / rate, "begin": begin, "at": at,
                         "start": start, "end": end, "frames": frames,
                         "whole_file": start == 0 and (at <= 0 or end == frames or frames - end < rate),
                         "rounded": whole(begin) and (at <= 0 or whole(at)), "past_end": at > 0 and at * rate > frames})
        run = subprocess.run([seam, "--format", "tsv", *[r["wav"] for r in rows]], capture_output=True, text=True)
        verdicts = {}
        for line in run.stdout.splitlines()[1:]:
            cells = line.split("\t")
            verdicts.setdefault(cells[0], set()).add(cells[9])

    print(f"{'track':<28} {'length':>8} {'loop-begin':>10} {'loop-at':>8} {'frames S..E':>22}  whole rounded  verdict")
    for r in rows:
        verdict = ", ".join(sorted(verdicts.get(r["wav"], {"not judged"})))
        print(f"{r['name']:<28} {r['seconds']:>7.2f}s {r['begin']:>10g} {r['at']:>8g} {r['start']:>10}..{r['end']:<11}"
              f"  {'yes' if r['whole_file'] else 'no ':>5} {'yes' if r['rounded'] else 'no ':>7}  {verdict}"
              + ("  (loop-at past the end)" if r["past_end"] else ""))
    smooth = sum(1 for r in rows if verdicts.get(r["wav"]) == {"smooth"})
    print(f"\n{len(rows)} tracks: points in whole seconds {sum(r['rounded'] for r in rows)}, "
          f"loop the whole file (within 1 s of its end) {sum(r['whole_file'] for r in rows)}, "
          f"jump seamless by sorvane-seam {smooth}")


if __name__ == "__main__":
    main()
