#!/usr/bin/python3
"""Measures sorvane-sustain against the sound designers of a General MIDI
soundfont: each looped instrument sample (attack, sustain and what follows),
with the loop its designers set, is given to sorvane-sustain as a 16-bit WAV,
AIFF and FLAC note; the designers' loop and ours are judged side by side.

Per sample it prints: the designers' loop and ours (start..end, frames), both
seams as sorvane-seam judges them (S = smooth with a margin, s = smooth,
c = likely click, L = level jump), the loudness change over each loop (dB,
between the whole periods at its start and at its end), our pitch error in
cents (loop length against a whole number of the estimated periods), and
whether the points read back from WAV, AIFF and FLAC.

Usage: eval/sustain_eval.py [--build-dir DIR] [--soundfont FILE] [--limit N]
Installs the soundfont (timgm6mb-soundfont), flac and python3-numpy when
missing, and builds the programs in build-release/.
"""
import argparse
import json
import math
import os
import re
import struct
import subprocess
import sys
import tempfile
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from seam_eval import DEFAULT_SOUNDFONT, read_soundfont, write_wav  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOUDNESS_SPAN = 0.05  # seconds, rounded to whole periods
LOUDNESS_LIMIT = 0.5  # dB
PITCH_LIMIT = 0.1  # cents


def read_wav(path):
    with wave.open(path, "rb") as w:
        frames = w.readframes(w.getnframes())
    return list(struct.unpack(f"<{len(frames) // 2}h", frames))


def judge(seam, paths):
    """{path: (verdict letter, smooth with a margin)} from sorvane-seam's JSON."""
    run = subprocess.run([seam, "--format", "json", *paths], capture_output=True, text=True)
    if run.returncode == 2:
        sys.exit(f"sorvane-seam failed:\n{run.stderr}")
    result = {}
    for loop in json.loads(run.stdout)["loops"]:
        verdict = loop["verdict"]
        letter = ("S" if loop["smooth_with_margin"] else "s") if verdict == "smooth" else (
            "c" if verdict == "likely click" else "L")
        result[loop["loop"]] = letter
    return result


def loudness_change(loop, period, rate):
    """dB from the loop's first whole periods (about 50 ms) to its last."""
    wanted = LOUDNESS_SPAN * rate
    span = max(1, round(max(1, round(wanted / period)) * period)) if period else round(wanted)
    span = min(span, len(loop) // 2)

    def energy(part):
        return sum(v * v for v in part) or 1e-9
    return 10 * math.log10(energy(loop[-span:]) / energy(loop[:span]))


def smpl_loop(path):
    data = open(path, "rb").read()
    at = 12
    while at + 8 <= len(data):
        cid, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        if cid == b"smpl" and size >= 60:
            start, end = struct.unpack_from("<II", data, at + 8 + 36 + 8)
            return start, end + 1
        at += 8 + size + (size & 1)
    return None


def aiff_loop(path):
    data = open(path, "rb").read()
    at, marks, inst = 12, {}, None
    while at + 8 <= len(data):
        cid, size = data[at:at + 4], struct.unpack_from(">I", data, at + 4)[0]
        body = data[at + 8:at + 8 + size]
        if cid == b"MARK":
            pos = 2
            for _ in range(struct.unpack_from(">H", body, 0)[0]):
                mid, where, length = struct.unpack_from(">HIB", body, pos)
                marks[mid] = where
                pos += 6 + ((length + 2) & ~1)
        elif cid == b"INST":
            inst = struct.unpack_from(">HHH", body, 8)
        at += 8 + size + (size & 1)
    if inst and inst[0] == 1 and inst[1] in marks and inst[2] in marks:
        return marks[inst[1]], marks[inst[2]]
    return None


def flac_loop(path):
    run = subprocess.run(["metaflac", "--export-tags-to=-", path], capture_output=True, text=True)
    tags = dict(line.split("=", 1) for line in run.stdout.splitlines() if "=" in line)
    if "LOOPSTART" in tags and "LOOPLENGTH" in tags:
        start = int(tags["LOOPSTART"])
        return start, start + int(tags["LOOPLENGTH"])
    return None


def write_aiff(wav_path, aiff_path):
    """A 16-bit AIFF of the same frames (no third-party encoder needed)."""
    with wave.open(wav_path, "rb") as w:
        rate, frames = w.getframerate(), w.readframes(w.getnframes())
    count = len(frames) // 2
    big = struct.pack(f">{count}h", *struct.unpack(f"<{count}h", frames))
    exponent = int(math.floor(math.log2(rate)))
    mantissa = int(rate * 2 ** (63 - exponent))
    comm = struct.pack(">hIh", 1, count, 16) + struct.pack(">HQ", 16383 + exponent, mantissa)
    ssnd = struct.pack(">II", 0, 0) + big
    body = b"AIFF" + b"COMM" + struct.pack(">I", len(comm)) + comm + b"SSND" + struct.pack(">I", len(ssnd)) + ssnd
    with open(aiff_path, "wb") as f:
        f.write(b"FORM" + struct.pack(">I", len(body)) + body)


def run_sustain(program, note, out):
    run = subprocess.run([program, note, out], capture_output=True, text=True)
    if run.returncode != 0:
        return {"error": run.stderr.strip().split(": Error: ")[-1]}
    report = {}
    m = re.search(r"Loop: +frames (\d+) to (\d+)", run.stdout)
    report["loop"] = (int(m.group(1)), int(m.group(2)) + 1)
    m = re.search(r"\(([\d.]+) Hz, period", run.stdout)
    report["hz"] = float(m.group(1)) if m else None
    m = re.search(r"period ([\d.]+) frames", run.stdout)
    report["period"] = float(m.group(1)) if m else None
    m = re.search(r"Crossfade: (\d+) frames", run.stdout)
    report["crossfade"] = int(m.group(1)) if m else 0
    return report


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-release"))
    parser.add_argument("--soundfont", default=DEFAULT_SOUNDFONT)
    parser.add_argument("--limit", type=int, default=0, help="only the first N samples")
    parser.add_argument("--keep", help="keep the notes and loops in this folder")
    args = parser.parse_args()
    subprocess.run([os.path.join(ROOT, "scripts/ensure-packages.sh"), "timgm6mb-soundfont", "flac",
                    "python3-numpy"], check=True)
    subprocess.run(["cmake", "-S", ROOT, "-B", args.build_dir, "-DCMAKE_BUILD_TYPE=Release",
                    "-DSORVANE_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", args.build_dir, "--parallel", "2", "--target", "sorvane-sustain",
                    "sorvane-seam"], check=True, stdout=subprocess.DEVNULL)
    sustain = os.path.join(args.build_dir, "sorvane-sustain")
    seam = os.path.join(args.build_dir, "sorvane-seam")

    pcm, loops = read_soundfont(args.soundfont)
    notes = sorted(set(loops), key=lambda n: (n[4], n[0]))
    if args.limit:
        notes = notes[:args.limit]
    rows, failures = [], []
    with tempfile.TemporaryDirectory() as scratch:
        work = args.keep or scratch
        os.makedirs(work, exist_ok=True)
        for n, (name, rate, ls, le, start, end, root) in enumerate(notes):
            note = list(pcm[start:end])
            wav = os.path.join(work, f"note-{n}.wav")
            write_wav(wav, rate, note)
            out = os.path.join(work, f"ours-{n}.wav")
            report = run_sustain(sustain, wav, out)
            if "error" in report:
                failures.append((name, len(note) / rate, report["error"]))
                continue
            # The same note as AIFF and FLAC: do the points read back there too?
            aiff, flac = os.path.join(work, f"note-{n}.aiff"), os.path.join(work, f"note-{n}.flac")
            write_aiff(wav, aiff)
            subprocess.run(["flac", "-s", "-f", "-o", flac, wav], check=True)
            back = {"WAV": smpl_loop(out) == report["loop"]}
            for fmt, path, reader in (("AIFF", aiff, aiff_loop), ("FLAC", flac, flac_loop)):
                ours = os.path.join(work, f"ours-{n}.{fmt.lower()}")
                other = run_sustain(sustain, path, ours)
                back[fmt] = "error" not in other and reader(ours) == other["loop"]

            written = read_wav(out)
            s, e = report["loop"]
            designer = note[ls - start:le - start]
            mine = written[s:e]
            dpath, opath = os.path.join(work, f"designer-{n}.wav"), os.path.join(work, f"loop-{n}.wav")
            write_wav(dpath, rate, designer)
            write_wav(opath, rate, mine)
            period = report["period"]
            cents = None
            if period:
                periods = round((e - s) / period)
                cents = 1200 * math.log2((e - s) / (periods * period))
            rows.append({"name": name, "rate": rate, "frames": len(note), "designer": (ls - start, le - start),
                         "ours": (s, e), "dpath": dpath, "opath": opath,
                         "dloud": loudness_change(designer, period, rate), "oloud": loudness_change(mine, period, rate),
                         "cents": cents, "back": back, "crossfade": report["crossfade"],
                         "root": root, "hz": report["hz"]})
        verdicts = judge(seam, [r["dpath"] for r in rows] + [r["opath"] for r in rows])

    print(f"{'sample':<22} {'frames':>7} {'designer loop':>17} {'ours':>17} seams  dB design/ours  cents  read back")
    for r in rows:
        d, o = verdicts[r["dpath"]], verdicts[r["opath"]]
        cents = f"{r['cents']:+.3f}" if r["cents"] is not None else "  -  "
        back = "".join(f[0] if ok else "-" for f, ok in r["back"].items())
        print(f"{r['name']:<22} {r['frames']:>7} {r['designer'][0]:>8}..{r['designer'][1]:<8} "
              f"{r['ours'][0]:>8}..{r['ours'][1]:<8} {d}/{o}   {r['dloud']:+6.2f} {r['oloud']:+6.2f}  {cents}  {back}"
              f"{'  xfade ' + str(r['crossfade']) if r['crossfade'] else ''}")
    for name, seconds, reason in failures:
        print(f"{name:<22} ({seconds:.2f} s): no loop: {reason}")

    total = len(rows) + len(failures)
    def count(pred):
        return sum(1 for r in rows if pred(r))
    minimum = count(lambda r: r["ours"][1] - r["ours"][0] >= min(r["rate"], r["frames"] // 2))
    pitched = [r for r in rows if r["cents"] is not None]
    print()
    print(f"soundfont: {args.soundfont}: {total} looped samples, {len(failures)} without a loop from us")
    print(f"seams smooth with a margin: ours {count(lambda r: verdicts[r['opath']] == 'S')} of {len(rows)}, "
          f"designers {count(lambda r: verdicts[r['dpath']] == 'S')}; smooth at all: ours "
          f"{count(lambda r: verdicts[r['opath']] in 'Ss')}, designers {count(lambda r: verdicts[r['dpath']] in 'Ss')}")
    print(f"loudness change at most {LOUDNESS_LIMIT} dB: ours {count(lambda r: abs(r['oloud']) <= LOUDNESS_LIMIT)} "
          f"of {len(rows)}, designers {count(lambda r: abs(r['dloud']) <= LOUDNESS_LIMIT)}")
    missed = [r for r in pitched if abs(r["cents"]) > PITCH_LIMIT]
    longest = max((r["ours"][1] - r["ours"][0]) / r["rate"] for r in missed) if missed else 0
    print(f"pitch error at most {PITCH_LIMIT} cent: {len(pitched) - len(missed)} of {len(pitched)} pitched"
          + (f"; the others are loops of {1000 * longest:.0f} ms or less" if missed else ""))
    for label, keep in (("notes of 0.5 s or more", lambda r: r["frames"] >= r["rate"] / 2),
                        ("shorter notes", lambda r: r["frames"] < r["rate"] / 2)):
        part = [r for r in rows if keep(r)]
        print(f"  {label}: {len(part)}; seams smooth with a margin {sum(verdicts[r['opath']] == 'S' for r in part)} "
              f"(designers {sum(verdicts[r['dpath']] == 'S' for r in part)}), loudness within {LOUDNESS_LIMIT} dB "
              f"{sum(abs(r['oloud']) <= LOUDNESS_LIMIT for r in part)} "
              f"(designers {sum(abs(r['dloud']) <= LOUDNESS_LIMIT for r in part)})")
    # Our pitch against the note the soundfont says the sample sounds (its
    # root key less its pitch correction), folded to the nearest octave.
    # Many samples keep the default root key, middle C with no correction:
    # those say nothing about their pitch and are left out.
    heard = [r for r in pitched if r["hz"] and r["root"] != 60.0]
    apart = [1200 * math.log2(r["hz"] / 440.0) + 6900 - 100 * r["root"] for r in heard]
    octave = sum(1 for a in apart if abs(a) > 50 and abs(a - 1200 * round(a / 1200)) <= 50)
    print(f"our pitch within 50 cents of the soundfont's note: {sum(1 for a in apart if abs(a) <= 50)} of "
          f"{len(heard)} pitched samples with a root key of their own; {octave} more a whole number of octaves "
          f"off; median distance {sorted(abs(a) for a in apart)[len(apart) // 2]:.1f} cents")
    print(f"loops of at least 1 s or half the note: {minimum} of {len(rows)}")
    print(f"crossfaded: {count(lambda r: r['crossfade'] > 0)} of {len(rows)}")
    for fmt in ("WAV", "AIFF", "FLAC"):
        print(f"points read back from {fmt}: {count(lambda r: r['back'][fmt])} of {len(rows)}")


if __name__ == "__main__":
    main()
