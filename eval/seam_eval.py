#!/usr/bin/python3
"""Measures how well sorvane-seam tells good loops from bad ones, on real
recordings: the instrument samples of a General MIDI soundfont.

- Designer loops (known good): each looped sample from its loop start to its
  loop end, as the soundfont's makers set them, played end to end.
- Cuts (known bad): random stretches of the same sustained sound (the
  designer loop repeated), so the wrap joins two unrelated points. Cuts that
  happen to land where the sound itself goes on (within 8 16-bit steps for
  three frames) are seamless by chance and left out.
- Continuous points (no cut): a loop made so that its wrap is a place where
  the sound simply goes on; any flag there is a false alarm.
- Short cuts: stretches of 5 to 40 ms of the pitched sustained sounds, which
  a player repeats 25 to 200 times a second: the short loops soundfonts and
  single-cycle waves are made of, judged as played.
- Marked loops: each designer loop left in its whole sample and marked in a
  `smpl` chunk, as a sampler reads it; sorvane-seam must judge that loop as
  it judges the loop alone.

Usage: eval/seam_eval.py [path/to/sorvane-seam] [--soundfont FILE] [--per-sample N]
Without a path it builds build-release/ and installs the soundfont (Debian
package timgm6mb-soundfont) when missing.
Prints detection and false-alarm rates and every flagged designer loop.
"""
import argparse
import collections
import os
import random
import struct
import subprocess
import sys
import tempfile
import wave

DEFAULT_SOUNDFONT = "/usr/share/sounds/sf2/TimGM6mb.sf2"
SEAMLESS_BY_CHANCE = 8  # 16-bit steps
PITCHED = 0.5  # normalised autocorrelation at the best lag from 50 Hz to 1.5 kHz


def build_programs(root, build_dir, *targets):
    """A Release build of `targets` in `build_dir`; the paths of the programs."""
    subprocess.run(["cmake", "-S", root, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DSORVANE_BUILD_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--parallel", "2", "--target", *targets], check=True,
                   stdout=subprocess.DEVNULL)
    return [os.path.join(build_dir, target) for target in targets]


def pitched(sound, rate):
    """Whether a sound has a pitch: the goals are set for cuts of sustained tones,
    and a cut of a cymbal or of surf cannot be heard at all."""
    import numpy
    x = numpy.asarray(sound[: rate // 10], dtype=float)
    x -= x.mean()
    window = len(x) // 2
    a = x[:window]
    best = 0.0
    for lag in range(max(2, rate // 1500), min(rate // 50, len(x) - window) + 1):
        b = x[lag:lag + window]
        energy = numpy.dot(a, a) * numpy.dot(b, b)
        if energy > 0:
            best = max(best, numpy.dot(a, b) / numpy.sqrt(energy))
    return best >= PITCHED


def chunks(data, start, end):
    """Yields (id, payload start, payload end) of the RIFF chunks in data[start:end]."""
    at = start
    while at + 8 <= end:
        cid = data[at:at + 4]
        size = struct.unpack_from("<I", data, at + 4)[0]
        yield cid, at + 8, min(at + 8 + size, end)
        at += 8 + size + (size & 1)


def soundfont_parts(path):
    """Returns (the file's bytes, {chunk id: (payload start, payload end)})
    for the chunks inside a SoundFont's LIST chunks (smpl, phdr, shdr, ...)."""
    data = open(path, "rb").read()
    if data[:4] != b"RIFF" or data[8:12] != b"sfbk":
        sys.exit(f"{path}: not a SoundFont 2 file")
    parts = {}
    for cid, start, end in chunks(data, 12, len(data)):
        if cid == b"LIST":
            for sub, s, e in chunks(data, start + 4, end):
                parts[sub] = (s, e)
    return data, parts


def read_soundfont(path):
    """Returns (samples as a list of ints, [(name, rate, loop start, loop end,
    sample start, sample end, MIDI note the sample sounds)]), every position an
    index into the samples; the note is the root key less the pitch correction."""
    data, parts = soundfont_parts(path)
    s, e = parts[b"smpl"]
    pcm = struct.unpack_from(f"<{(e - s) // 2}h", data, s)

    def records(name, size, fmt):
        s, e = parts[name]
        return [struct.unpack_from(fmt, data, at) for at in range(s, e - size + 1, size)]

    inst = records(b"inst", 22, "<20sH")
    ibag = records(b"ibag", 4, "<HH")
    igen = records(b"igen", 4, "<Hh")
    shdr = records(b"shdr", 46, "<20sIIIIIBbHH")

    loops = set()
    for i in range(len(inst) - 1):
        zones = range(inst[i][1], inst[i + 1][1])
        defaults = {}
        for z in zones:
            gens = {op: amount for op, amount in igen[ibag[z][0]:ibag[z + 1][0]]}
            if 53 not in gens:  # the global zone: defaults for the others
                defaults = gens
                continue
            g = {**defaults, **gens}
            if g.get(54, 0) & 0xFFFF not in (1, 3):
                continue  # not looped
            h = shdr[g[53] & 0xFFFF]
            name = h[0].split(b"\0")[0].decode("latin-1")
            start_loop = h[3] + g.get(2, 0) + 32768 * g.get(45, 0)
            end_loop = h[4] + g.get(3, 0) + 32768 * g.get(50, 0)
            if h[1] <= start_loop < end_loop <= h[2]:
                loops.add((name, h[5], start_loop, end_loop, h[1], h[2], h[6] - h[7] / 100.0))
    return pcm, sorted(loops)


def write_wav(path, rate, frames, loop=None):
    """A 16-bit mono WAV; with `loop` (start, end one past the last frame), a
    `smpl` chunk that marks it as a sampler reads it."""
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(struct.pack(f"<{len(frames)}h", *frames))
    if loop:
        mark_loop(path, rate, loop)


def mark_loop(path, rate, loop):
    """Appends to the WAV at `path` a `smpl` chunk marking `loop` (start, end
    one past the last frame) as a sampler reads it."""
    smpl = struct.pack("<9I", 0, 0, 1000000000 // rate, 60, 0, 0, 0, 1, 0)
    smpl += struct.pack("<6I", 0, 0, loop[0], loop[1] - 1, 0, 0)
    data = bytearray(open(path, "rb").read())
    data += b"smpl" + struct.pack("<I", len(smpl)) + smpl
    struct.pack_into("<I", data, 4, len(data) - 8)
    open(path, "wb").write(bytes(data))


def judge(seam, paths):
    """Runs sorvane-seam over paths in batches; returns {path: (verdict, rules)}."""
    results = {}
    for i in range(0, len(paths), 200):
        run = subprocess.run([seam, "--format", "tsv", *paths[i:i + 200]], capture_output=True, text=True)
        if run.returncode == 2:
            sys.exit(f"sorvane-seam failed:\n{run.stderr}")
        for line in run.stdout.splitlines()[1:]:
            f = line.split("\t")
            verdict, rules = results.get(f[0], ("smooth", set()))
            if f[9] == "not judged":
                results[f[0]] = ("not judged", set())
                continue
            results[f[0]] = (f[9], rules | (set() if f[8] == "-" else set(f[8].split(","))))
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("seam", nargs="?", default="build-release/sorvane-seam")
    parser.add_argument("--soundfont", default=DEFAULT_SOUNDFONT)
    parser.add_argument("--per-sample", type=int, default=6)
    args = parser.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    subprocess.run([os.path.join(root, "scripts/ensure-packages.sh"), "timgm6mb-soundfont", "python3-numpy"],
                   check=True)
    if args.seam == "build-release/sorvane-seam":
        args.seam, = build_programs(root, os.path.join(root, "build-release"), "sorvane-seam")
    pcm, loops = read_soundfont(args.soundfont)
    rng = random.Random(20261207)
    short_rng = random.Random(20261208)  # its own, so that the other sets stay as they were
    sets = {"designer": [], "cut": [], "noise cut": [], "continuous": [], "short cut": [], "marked": []}
    follows = set()  # designer loops whose wrap plays what the recording played
    short_designers = set()  # designer loops under 40 ms
    chance = 0
    with tempfile.TemporaryDirectory() as work:
        for n, (name, rate, ls, le, first, end, _) in enumerate(loops):
            loop = list(pcm[ls:le])
            path = os.path.join(work, f"designer-{n}.wav")
            write_wav(path, rate, loop)
            # Some loop ends are one frame off: the frame at the loop end, not
            # the one after it, matches the loop start, so the wrap stalls.
            off = min(abs(pcm[ls] - pcm[le - 1]), abs(pcm[ls] - pcm[le + 1]))
            mark = "; end one frame off" if 2 * off < abs(pcm[ls] - pcm[le]) and abs(pcm[ls] - pcm[le]) > 32 else ""
            # Where the sample goes on past the loop end with the recording
            # itself (not a copy of the loop start), how far the wrap leaves
            # the frame the recording played next: evidence independent of
            # the judge, beside the sound's own largest step before the end.
            if le + 2 <= end and pcm[le:le + 2] != pcm[ls:ls + 2]:
                steps = max(abs(pcm[t + 1] - pcm[t]) for t in range(max(ls, le - rate // 50), le - 1))
                mark += (f"; wrap {pcm[le - 2]}, {pcm[le - 1]} | {pcm[ls]}, {pcm[ls + 1]}, the recording went on "
                         f"{pcm[le]}, {pcm[le + 1]}: {abs(pcm[ls] - pcm[le])} steps off, largest step nearby {steps}")
            sets["designer"].append((path, f"{name} ({le - ls} frames{mark})"))
            # Past the loop end the sample holds a copy of the loop's start, or
            # the recording itself: the wrap follows it when within 500 steps.
            if le + 2 > end or pcm[le:le + 2] == pcm[ls:ls + 2] or abs(pcm[ls] - pcm[le]) <= 500:
                follows.add(path)
            if (le - ls) * 25 < rate:
                short_designers.add(path)
            marked = os.path.join(work, f"marked-{n}.wav")
            write_wav(marked, rate, list(pcm[first:end]), (ls - first, le - first))
            sets["marked"].append((marked, path))
            # The sustained sound: the designer loop repeated for a second or more.
            sustained = loop * max(3, -(-rate // len(loop)) + 1)
            tone = pitched(sustained, rate)
            shortest, longest = rate // 10, rate
            for k in range(args.per_sample):
                a = rng.randrange(0, len(sustained) // 2)
                b = a + rng.randrange(shortest, max(shortest + 1, min(longest, len(sustained) - a - 3)))
                if b + 3 > len(sustained):
                    continue
                if max(abs(sustained[b + j] - sustained[a + j]) for j in range(3)) <= SEAMLESS_BY_CHANCE:
                    chance += 1
                    continue
                path = os.path.join(work, f"cut-{n}-{k}.wav")
                write_wav(path, rate, sustained[a:b])
                sets["cut" if tone else "noise cut"].append((path, f"{name} [{a}:{b}]"))
            for k in range(args.per_sample if tone else 0):
                a = short_rng.randrange(0, len(sustained) // 2)
                b = a + short_rng.randrange(rate // 200, rate // 25)
                if b + 3 > len(sustained):
                    continue
                if max(abs(sustained[b + j] - sustained[a + j]) for j in range(3)) <= SEAMLESS_BY_CHANCE:
                    chance += 1
                    continue
                path = os.path.join(work, f"short-{n}-{k}.wav")
                write_wav(path, rate, sustained[a:b])
                sets["short cut"].append((path, f"{name} [{a}:{b}]"))
            span = rate // 10
            if len(sustained) > 2 * span:
                for k in range(args.per_sample):
                    t = rng.randrange(span, len(sustained) - span)
                    path = os.path.join(work, f"continuous-{n}-{k}.wav")
                    write_wav(path, rate, sustained[t:t + span] + sustained[t - span:t])
                    sets["continuous"].append((path, f"{name} at {t}"))
        everything = [p for items in sets.values() for p, _ in items]
        results = judge(args.seam, everything)

    def flagged(items):
        return [(label, results[p]) for p, label in items if results[p][0] not in ("smooth", "not judged")]

    print(f"soundfont: {args.soundfont}: {len(loops)} looped samples")
    designers = sets["designer"]
    good = [(p, label) for p, label in designers if p in follows]
    bad = flagged(good)
    cuts = flagged(sets["cut"])
    shorts = flagged(sets["short cut"])
    alarms = flagged(sets["continuous"])
    unjudged = [label for p, label in designers if results[p][0] == "not judged"]
    print(f"designer loops flagged: {len(flagged(designers))} of {len(designers)}; of the {len(good)} that follow "
          f"their recording (known good): {len(bad)}; not judged (fewer than 8 frames): {len(unjudged)}")
    for label, (verdict, rules) in flagged(designers):
        print(f"  {label}: {verdict} ({', '.join(sorted(rules))})")
    short_good = [(p, label) for p, label in good if p in short_designers]
    print(f"  of those, under 40 ms: {len(flagged(short_good))} flagged of {len(short_good)}")
    print(f"cuts of pitched sounds caught: {len(cuts)} of {len(sets['cut'])} "
          f"({100.0 * len(cuts) / max(1, len(sets['cut'])):.1f} %); {chance} seamless by chance left out")
    missed = collections.Counter(label.split(" [")[0] for p, label in sets["cut"] if results[p][0] == "smooth")
    print("  missed most in: " + ", ".join(f"{name} ({count})" for name, count in missed.most_common(12)))
    print(f"short cuts (5 to 40 ms) of pitched sounds caught: {len(shorts)} of {len(sets['short cut'])} "
          f"({100.0 * len(shorts) / max(1, len(sets['short cut'])):.1f} %)")
    print(f"all cuts caught: {len(cuts) + len(shorts)} of {len(sets['cut']) + len(sets['short cut'])} "
          f"({100.0 * (len(cuts) + len(shorts)) / max(1, len(sets['cut']) + len(sets['short cut'])):.1f} %)")
    print(f"cuts of unpitched sounds (cymbals, surf: not heard) flagged: {len(flagged(sets['noise cut']))} "
          f"of {len(sets['noise cut'])}")
    print(f"false alarms at continuous points: {len(alarms)} of {len(sets['continuous'])} "
          f"({100.0 * len(alarms) / max(1, len(sets['continuous'])):.2f} %)")
    for label, (verdict, rules) in alarms[:10]:
        print(f"  {label}: {verdict} ({', '.join(sorted(rules))})")
    agree = sum(1 for marked, alone in sets["marked"] if results.get(marked, ("?",))[0] == results[alone][0])
    print(f"loops marked in their whole sample judged as the loop alone: {agree} of {len(sets['marked'])}")
    for rule in ("prediction", "period", "curvature", "level"):
        caught = sum(1 for p, _ in sets["cut"] + sets["short cut"] if rule in results[p][1])
        print(f"rule {rule}: fires on {caught} cuts, "
              f"{sum(1 for p, _ in sets['continuous'] if rule in results[p][1])} continuous points, "
              f"{sum(1 for p, _ in designers if rule in results[p][1])} designer loops")
    all_cuts = len(sets["cut"]) + len(sets["short cut"])
    ok = len(cuts) + len(shorts) >= 0.95 * all_cuts and len(alarms) * 200 <= len(sets["continuous"])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
