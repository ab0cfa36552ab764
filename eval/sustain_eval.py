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

Then, per note: the same note as Ogg Vorbis, its loop judged as written
(decoded from our output at the points it carries) against what our report
says; our loop with --flatten and its loudness change; whether any loop of
the minimum length in the sustain changes loudness by 0.5 dB or less.
Last, synthetic tones from 30 Hz to 4 kHz at 22.05 to 96 kHz: is the pitch
found within a cent, with loops of 100 ms or more within 0.1 cent?

Usage: eval/sustain_eval.py [--build-dir DIR | --sustain P --seam P]
                            [--soundfont FILE] [--limit N]
Installs the soundfont (timgm6mb-soundfont), flac, vorbis-tools and
python3-numpy when missing, and builds the programs in build-release/
unless both programs are given.
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

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from seam_eval import DEFAULT_SOUNDFONT, build_programs, read_soundfont, write_wav  # noqa: E402

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
    if not paths:
        return {}
    run = subprocess.run([seam, "--format", "json", *paths], capture_output=True, text=True)
    if run.returncode == 2:
        sys.exit(f"sorvane-seam failed:\n{run.stderr}")
    result = {}
    for loop in json.loads(run.stdout)["loops"]:
        verdict = loop["verdict"]
        letter = ("S" if loop["smooth_with_margin"] else "s") if verdict == "smooth" else (
            "c" if verdict == "likely click" else "n" if verdict == "not judged" else "L")
        result[loop["loop"]] = letter
    return result


def loudness_change(loop, period, rate, shortest):
    """dB from the loop's first whole periods (about 50 ms) to its last, over
    at most half the shortest loop asked for, as sorvane-sustain measures."""
    wanted = LOUDNESS_SPAN * rate
    span = max(1, round(max(1, round(wanted / period)) * period)) if period else round(wanted)
    span = min(span, len(loop) // 2, shortest // 2)

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


def ogg_loop(path):
    run = subprocess.run(["vorbiscomment", "-l", path], capture_output=True, text=True)
    tags = dict(line.split("=", 1) for line in run.stdout.splitlines() if "=" in line)
    if "LOOPSTART" in tags and "LOOPLENGTH" in tags:
        start = int(tags["LOOPSTART"])
        return start, start + int(tags["LOOPLENGTH"])
    return None


def feasible(note, period, rate, shortest, limit, sustain):
    """Whether some loop of the shortest length (in whole periods) inside the
    sustain [first, end) changes loudness by `limit` dB or less, measured as
    loudness_change measures it."""
    x = np.asarray(note, dtype=np.float64)
    wanted = LOUDNESS_SPAN * rate
    span = max(1, round(max(1, round(wanted / period)) * period)) if period else round(wanted)
    span = min(span, shortest // 2)
    # The shortest loop of whole periods, with room for the window of a
    # period (2.5 ms unpitched) that matches its ends on either side.
    length = round(math.ceil(shortest / period) * period) if period else shortest
    half = math.ceil(period) if period else max(2, int(0.0025 * rate))
    if span < 1 or len(x) < length:
        return False
    sums = np.concatenate(([0.0], np.cumsum(x * x)))
    energy = np.maximum(sums[span:] - sums[:-span], 1e-9)  # energy[i] over x[i:i + span]
    starts = np.arange(max(sustain[0], half), min(sustain[1], len(x) - half) - length + 1)
    if len(starts) == 0:
        return False
    change = 10 * np.log10(energy[starts + length - span] / energy[starts])
    return bool(np.any(np.abs(change) <= limit))


def tone(hz, rate, seconds):
    """A held tone with three harmonics, a 30 ms attack, a gentle decay and a
    little noise, as 16-bit samples."""
    t = np.arange(int(seconds * rate)) / rate
    phase = 2 * np.pi * hz * t
    wave_ = 0.5 * np.sin(phase) + (0.2 * np.sin(2 * phase + 1) if 2 * hz < rate / 2 else 0) + (
        0.1 * np.sin(3 * phase + 2) if 3 * hz < rate / 2 else 0)
    envelope = np.minimum(1.0, t / 0.03) * np.exp(-0.3 * t)
    noise = np.random.default_rng(int(hz * 10 + rate)).uniform(-1, 1, len(t)) * 0.0005
    return [int(v) for v in np.round(32767 * 0.8 * (envelope * wave_ + noise))]


def pitch_range(sustain, work):
    """Rows of (rate, hz, found hz or None, loop seconds, detune cents)."""
    rows = []
    for rate in (22050, 44100, 48000, 96000):
        for hz in (30.0, 55.0, 110.0, 440.0, 1000.0, 2500.0, 3950.0, 4000.0):
            path, out = os.path.join(work, f"tone-{rate}-{hz:g}.wav"), os.path.join(work, f"tone-loop.wav")
            write_wav(path, rate, tone(hz, rate, 3.0))
            report = run_sustain(sustain, path, out)
            if "error" in report:
                rows.append((rate, hz, None, 0.0, None))
                continue
            s, e = report["loop"]
            rows.append((rate, hz, report["hz"], (e - s) / rate, report["detune"]))
    return rows


def run_sustain(program, note, out, *options):
    run = subprocess.run([program, *options, note, out], capture_output=True, text=True)
    if run.returncode != 0:
        return {"error": run.stderr.strip().split(": Error: ")[-1]}
    report = {}
    m = re.search(r"Loop: +frames (\d+) to (\d+)", run.stdout)
    report["loop"] = (int(m.group(1)), int(m.group(2)) + 1)
    m = re.search(r"\(([\d.]+) Hz, period", run.stdout)
    report["hz"] = float(m.group(1)) if m else None
    m = re.search(r"period ([\d.]+) frames", run.stdout)
    report["period"] = float(m.group(1)) if m else None
    m = re.search(r"Sustain: +([\d.]+) s to ([\d.]+) s", run.stdout)
    report["sustain"] = (float(m.group(1)), float(m.group(2))) if m else None
    m = re.search(r"Crossfade: (\d+) frames", run.stdout)
    report["crossfade"] = int(m.group(1)) if m else 0
    m = re.search(r"periods, ([-+\d.]+) cents", run.stdout)
    report["detune"] = float(m.group(1)) if m else None
    m = re.search(r"Seam: +(smooth|likely click|level jump|not judged)", run.stdout)
    report["seam"] = m.group(1) if m else None
    return report


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-release"))
    parser.add_argument("--soundfont", default=DEFAULT_SOUNDFONT)
    parser.add_argument("--limit", type=int, default=0, help="only the first N samples")
    parser.add_argument("--keep", help="keep the notes and loops in this folder")
    parser.add_argument("--sustain", help="the sorvane-sustain to measure (with --seam: nothing is built)")
    parser.add_argument("--seam", help="the sorvane-seam that judges")
    args = parser.parse_args()
    subprocess.run([os.path.join(ROOT, "scripts/ensure-packages.sh"), "timgm6mb-soundfont", "flac",
                    "vorbis-tools", "python3-numpy"], check=True)
    if not (args.sustain and args.seam):
        build_programs(ROOT, args.build_dir, "sorvane-sustain", "sorvane-seam")
    sustain = args.sustain or os.path.join(args.build_dir, "sorvane-sustain")
    seam = args.seam or os.path.join(args.build_dir, "sorvane-seam")

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
            # The same note as Ogg Vorbis: the loop as written, decoded at the
            # points our output carries, against what our report says of it.
            ogg, ours_ogg = os.path.join(work, f"note-{n}.ogg"), os.path.join(work, f"ours-{n}.ogg")
            subprocess.run(["oggenc", "-Q", "-q", "4", "-o", ogg, wav], check=True)
            def written_loop(ogg_out, label):
                decoded = os.path.join(work, f"{label}-{n}-decoded.wav")
                subprocess.run(["oggdec", "-Q", "-o", decoded, ogg_out], check=True)
                gs, ge = ogg_loop(ogg_out)
                path = os.path.join(work, f"{label}-loop-{n}.wav")
                write_wav(path, rate, read_wav(decoded)[gs:ge])
                return path
            lossy = run_sustain(sustain, ogg, ours_ogg)
            written_ogg = written_loop(ours_ogg, "ogg") if "error" not in lossy and ogg_loop(ours_ogg) else None
            # With a blend asked for, the note is encoded anew.
            blended_ogg = os.path.join(work, f"ours-{n}-crossfade.ogg")
            blended = run_sustain(sustain, ogg, blended_ogg, "--crossfade", "30")
            written_blend = (written_loop(blended_ogg, "oggx") if "error" not in blended and ogg_loop(blended_ogg)
                             else None)
            flat = run_sustain(sustain, wav, os.path.join(work, f"flat-{n}.wav"), "--flatten")
            flat_loud = None
            shortest = min(rate, len(note) // 2)
            if "error" not in flat:
                fs, fe = flat["loop"]
                flat_loud = loudness_change(read_wav(os.path.join(work, f"flat-{n}.wav"))[fs:fe], period, rate,
                                            shortest)
            cents = None
            if period:
                periods = round((e - s) / period)
                cents = 1200 * math.log2((e - s) / (periods * period))
            rows.append({"name": name, "rate": rate, "frames": len(note), "designer": (ls - start, le - start),
                         "ours": (s, e), "dpath": dpath, "opath": opath,
                         "dloud": loudness_change(designer, period, rate, shortest),
                         "oloud": loudness_change(mine, period, rate, shortest),
                         "cents": cents, "back": back, "crossfade": report["crossfade"],
                         "root": root, "hz": report["hz"], "ogg": written_ogg,
                         "ogg_claim": lossy.get("seam"), "flat": flat_loud, "oggx": written_blend,
                         "oggx_claim": blended.get("seam"),
                         "feasible": feasible(note, period, rate, shortest, LOUDNESS_LIMIT,
                                              [round((report["sustain"][0] + 0.0005) * rate), round((report["sustain"][1] - 0.0005) * rate)])})
        verdicts = judge(seam, [r["dpath"] for r in rows] + [r["opath"] for r in rows] +
                         [r["ogg"] for r in rows if r["ogg"]] + [r["oggx"] for r in rows if r["oggx"]])
        tones = pitch_range(sustain, work)

    print(f"{'sample':<22} {'frames':>7} {'designer loop':>17} {'ours':>17} seams  dB design/ours  cents  read back")
    for r in rows:
        d, o = verdicts[r["dpath"]], verdicts[r["opath"]]
        cents = f"{r['cents']:+.3f}" if r["cents"] is not None else "  -  "
        back = "".join(f[0] if ok else "-" for f, ok in r["back"].items())
        print(f"{r['name']:<22} {r['frames']:>7} {r['designer'][0]:>8}..{r['designer'][1]:<8} "
              f"{r['ours'][0]:>8}..{r['ours'][1]:<8} {d}/{o}   {r['dloud']:+6.2f} {r['oloud']:+6.2f}  {cents}  {back}"
              f"{'  xfade ' + str(r['crossfade']) if r['crossfade'] else ''}"
              f"{'  flat %+.2f' % r['flat'] if r['flat'] is not None else ''}{'  ogg ' + verdicts[r['ogg']] if r['ogg'] else ''}")
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
    can = [r for r in rows if r["feasible"]]
    print(f"  where a loop of the minimum length in the sustain can reach it: {len(can)}; ours reach it "
          f"{sum(abs(r['oloud']) <= LOUDNESS_LIMIT for r in can)}; not: "
          + ", ".join(f"{r['name']} {r['oloud']:+.2f} ({1000 * (r['ours'][1] - r['ours'][0]) / r['rate']:.0f} ms)"
                      for r in can if abs(r['oloud']) > LOUDNESS_LIMIT))
    flat = [r for r in rows if r["flat"] is not None]
    print(f"with --flatten, loudness change at most {LOUDNESS_LIMIT} dB: "
          + (f"{sum(abs(r['flat']) <= LOUDNESS_LIMIT for r in flat)} of {len(rows)}; not: " +
             ", ".join(f"{r['name']} {r['flat']:+.2f}" for r in flat if abs(r['flat']) > LOUDNESS_LIMIT)
             if flat else "(no --flatten)"))
    long_loops = [r for r in pitched if r["ours"][1] - r["ours"][0] >= 0.1 * r["rate"]]
    print(f"loops of 100 ms or more within {PITCH_LIMIT} cent: "
          f"{sum(abs(r['cents']) <= PITCH_LIMIT for r in long_loops)} of {len(long_loops)}; shorter loops' "
          f"detune: " + (", ".join(f"{r['cents']:+.2f}" for r in pitched if r not in long_loops) or "none"))
    ogg = [r for r in rows if r["ogg"]]
    said = {"smooth": "s", "likely click": "c", "level jump": "L", "not judged": "n"}
    print(f"Ogg Vorbis notes: {len(ogg)} of {len(rows)} looped; written loops smooth "
          f"{sum(verdicts[r['ogg']] in 'Ss' for r in ogg)}; report says what is written "
          f"{sum(said.get(r['ogg_claim']) == verdicts[r['ogg']].replace('S', 's') for r in ogg)}")
    oggx = [r for r in rows if r["oggx"]]
    print(f"  with --crossfade 30 (encoded anew): {len(oggx)} looped; written loops smooth "
          f"{sum(verdicts[r['oggx']] in 'Ss' for r in oggx)}; report says what is written "
          f"{sum(said.get(r['oggx_claim']) == verdicts[r['oggx']].replace('S', 's') for r in oggx)}")
    print(f"loops of at least 1 s or half the note: {minimum} of {len(rows)}")
    print(f"crossfaded: {count(lambda r: r['crossfade'] > 0)} of {len(rows)}")
    for fmt in ("WAV", "AIFF", "FLAC"):
        print(f"points read back from {fmt}: {count(lambda r: r['back'][fmt])} of {len(rows)}")
    print()
    print("synthetic tones, found pitch (cents off) / loop detune (cents):")
    print("   Hz " + "".join(f"{rate:>22}" for rate in sorted({t[0] for t in tones})))
    for hz in sorted({t[1] for t in tones}):
        cells = []
        for rate, thz, found, seconds, detune in sorted(t for t in tones if t[1] == hz):
            cells.append(f"{'none found':>22}" if not found else
                         f"{1200 * math.log2(found / thz):+8.2f} /{detune if detune is not None else 0:+8.4f}"
                         f"{'*' if seconds < 0.1 else ' '}   ")
        print(f"{hz:>6g}" + "".join(cells))
    found = [t for t in tones if t[2] and abs(1200 * math.log2(t[2] / t[1])) <= 1]
    exact = [t for t in found if t[3] >= 0.1 and t[4] is not None and abs(t[4]) <= PITCH_LIMIT]
    print(f"tones whose pitch is found within 1 cent: {len(found)} of {len(tones)}; of those with loops of "
          f"100 ms or more, within {PITCH_LIMIT} cent: {len(exact)} of {sum(1 for t in found if t[3] >= 0.1)}"
          " (* loop under 100 ms)")


if __name__ == "__main__":
    main()
