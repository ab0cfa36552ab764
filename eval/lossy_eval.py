#!/usr/bin/python3
"""How smooth lossy loops are as a player decodes them, against the same
loops in FLAC: real recordings made into `CROSSFADE 10` loops, written as
FLAC, Ogg Vorbis, Ogg Opus and MP3 at sorvane's defaults, each judged by
sorvane-seam decoded from the file as written (every channel smooth), and
decoded by ffmpeg too, which must give exactly the loop's frames.

Recordings: the looped instrument samples of a General MIDI soundfont
(timgm6mb-soundfont, mono, 12 to 44.1 kHz) and the sounds of
sound-theme-freedesktop (mostly stereo, 44.1 and 48 kHz).

Usage: eval/lossy_eval.py [--build-dir DIR | --sorvane P --seam P] [--keep DIR]
Installs the packages it needs when missing and builds the programs in
build-release/ unless both are given.
"""
import argparse
import glob
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from seam_eval import DEFAULT_SOUNDFONT, build_programs, read_soundfont, write_wav  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FORMATS = ("flac", "ogg", "opus", "mp3")
SOUNDS = "/usr/share/sounds/freedesktop/stereo"


def soundfont_notes(work, soundfont, count=17):
    """Every n-th looped sample, at least 2 s long (its loop repeated)."""
    pcm, loops = read_soundfont(soundfont)
    notes = sorted(set(loops), key=lambda n: (n[4], n[0]))
    paths = []
    for n, (name, rate, ls, le, start, end, root) in enumerate(notes[::max(1, len(notes) // count)][:count]):
        note = list(pcm[start:end])
        while len(note) < 2 * rate:
            note += list(pcm[ls:le])
        path = os.path.join(work, f"sf-{n:02d}.wav")
        write_wav(path, rate, note)
        paths.append(path)
    return paths


def freedesktop_sounds(work):
    paths = []
    for source in sorted(glob.glob(os.path.join(SOUNDS, "*.oga"))):
        path = os.path.join(work, "fd-" + os.path.basename(source)[:-4] + ".wav")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", source, "-c:a", "pcm_s16le", path], check=True)
        paths.append(path)
    return paths


def verdicts(seam, paths):
    """Per file: (smooth when every channel is, frames, rate), as libsndfile decodes it."""
    out = {}
    for i in range(0, len(paths), 100):
        run = subprocess.run([seam, "--format", "tsv", *paths[i:i + 100]], capture_output=True, text=True)
        for line in run.stdout.splitlines()[1:]:
            cells = line.split("\t")
            smooth = out.get(cells[0], (True,))[0] and cells[9] == "smooth"
            out[cells[0]] = (smooth, int(cells[1]), int(cells[2]))
    return out


def ffmpeg_frames(path):
    run = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s16le", "-ac", "1", "-"], capture_output=True)
    return len(run.stdout) // 2


def rate_of(path):
    run = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=sample_rate", "-of", "csv=p=0", path],
                         capture_output=True, text=True)
    return int(run.stdout.split()[0])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-release"))
    parser.add_argument("--sorvane")
    parser.add_argument("--seam")
    parser.add_argument("--soundfont", default=DEFAULT_SOUNDFONT)
    parser.add_argument("--keep", help="keep the loops in this folder")
    args = parser.parse_args()
    subprocess.run([os.path.join(ROOT, "scripts/ensure-packages.sh"), "timgm6mb-soundfont",
                    "sound-theme-freedesktop", "ffmpeg"], check=True)
    if not (args.sorvane and args.seam):
        build_programs(ROOT, args.build_dir, "sorvane", "sorvane-seam")
    sorvane = args.sorvane or os.path.join(args.build_dir, "sorvane")
    seam = args.seam or os.path.join(args.build_dir, "sorvane-seam")

    with tempfile.TemporaryDirectory() as scratch:
        work = args.keep or scratch
        os.makedirs(work, exist_ok=True)
        sets = {"soundfont notes": soundfont_notes(work, args.soundfont), "freedesktop sounds": freedesktop_sounds(work)}
        print(f"{'set':<20} {'loops':>5}  " + "  ".join(f"{f:>16}" for f in FORMATS))
        for label, inputs in sets.items():
            written = {f: [] for f in FORMATS}
            loop_frames = {}
            refused = {f: 0 for f in FORMATS}
            for path in inputs:
                for fmt in FORMATS:
                    out = path[:-4] + "-loop." + fmt
                    run = subprocess.run([sorvane, path, out, "CROSSFADE", "10"], capture_output=True, text=True)
                    if run.returncode != 0:
                        refused[fmt] += 1
                        continue
                    written[fmt].append(out)
                    loop_frames[out] = (int(run.stdout.split("Buffer: ")[1].split()[0]), rate_of(path))
            judged = verdicts(seam, sum(written.values(), []))
            exact = {f: 0 for f in FORMATS}
            for fmt in FORMATS:
                for out in written[fmt]:
                    if out not in judged:
                        continue
                    _, frames, rate = judged[out]
                    # Where the codec carries another rate, the loop is
                    # resampled to whole frames; ffmpeg decodes Opus at 48 kHz.
                    n, input_rate = loop_frames[out]
                    in_rate = int(n * rate / input_rate + 0.5) == frames
                    exact[fmt] += in_rate and ffmpeg_frames(out) * rate == frames * rate_of(out)
            cells = []
            for fmt in FORMATS:
                count = sum(judged.get(p, (False,))[0] for p in written[fmt])
                cells.append(f"{count:>3} smooth {exact[fmt]:>3} exact" + (f" ({refused[fmt]} refused)" if refused[fmt] else ""))
            print(f"{label:<20} {len(inputs):>5}  " + "  ".join(f"{c:>16}" for c in cells))
    print("\nsmooth: every channel's wrap judged smooth by sorvane-seam, decoded by libsndfile;")
    print("exact: libsndfile and ffmpeg decode exactly the loop's frames (resampled where the codec")
    print("does not carry the rate; ffmpeg decodes Opus at 48 kHz).")


if __name__ == "__main__":
    main()
