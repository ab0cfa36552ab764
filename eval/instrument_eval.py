#!/usr/bin/python3
"""Measures sorvane-instrument against the instruments of a General MIDI
soundfont, as players hear them.

For each sustaining instrument of the soundfont whose samples are recorded
notes (organ, strings, choir, trumpet, saxophones, oboe, flute; most of the
others in this small font are single cycles of a few milliseconds, which
no one records), every sample it plays is written out whole, as
a plain WAV with neither note name nor loop, as if just recorded. The
folder of them is made into an instrument by sorvane-instrument. Then
FluidSynth plays both, the original preset and the rebuilt SoundFont, key by
key (each key held 4 s, far longer than any sample), and for each key:

- pitch: within 5 cents of the key's equal-tempered pitch (autocorrelation
  from 1 s to 3.5 s after the key, so that vibrato and chorus average out,
  refined on multiples of the period up to 200 ms);
  an octave off is counted apart;
- sustains: the level 3.0-3.5 s after the key is within 3 dB of the level
  1.0-1.5 s after it, and above -60 dBFS (so the loop holds the note rather
  than letting it stop or swell);
- the seams: each loop as the samples mark it, judged by sorvane-seam (the
  designers' loops in the original, ours in the rebuilt).

Usage: eval/instrument_eval.py [--build-dir DIR] [--soundfont FILE] [--keys LOW HIGH] [--keep DIR]
Installs the soundfont (timgm6mb-soundfont) and FluidSynth when missing.
"""
import argparse
import json
import math
import os
import struct
import subprocess
import sys
import tempfile
import wave

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from seam_eval import DEFAULT_SOUNDFONT, build_programs, soundfont_parts, write_wav  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# General MIDI programs (from 0) of instruments that sustain while a key is
# held and whose samples last a quarter of a second or more.
PROGRAMS = [18, 44, 48, 49, 50, 52, 56, 64, 65, 67, 68, 73]
HELD = 4.0  # seconds each key is held
GAP = 2.0  # seconds after it, for the release
RATE = 44100
PITCH_CENTS = 5.0
SUSTAIN_DB = 3.0
SILENT_DB = -60.0


def read_presets(path):
    """Returns (samples, {program: (preset name, [(sample name, rate, start,
    end, loop start, loop end)])}) for the bank-0 presets: every sample their
    zones play, once, with the loop its header marks."""
    data, parts = soundfont_parts(path)
    s, e = parts[b"smpl"]
    pcm = np.frombuffer(data[s:e], dtype="<i2")

    def records(name, size, fmt):
        s, e = parts[name]
        return [struct.unpack_from(fmt, data, at) for at in range(s, e - size + 1, size)]

    phdr = records(b"phdr", 38, "<20sHHHIII")
    pbag = records(b"pbag", 4, "<HH")
    pgen = records(b"pgen", 4, "<Hh")
    inst = records(b"inst", 22, "<20sH")
    ibag = records(b"ibag", 4, "<HH")
    igen = records(b"igen", 4, "<Hh")
    shdr = records(b"shdr", 46, "<20sIIIIIBbHH")
    presets = {}
    for p in range(len(phdr) - 1):
        name, program, bank, first_bag = phdr[p][0], phdr[p][1], phdr[p][2], phdr[p][3]
        if bank != 0:
            continue
        samples = {}
        for z in range(first_bag, phdr[p + 1][3]):
            gens = dict(pgen[pbag[z][0]:pbag[z + 1][0]])
            if 41 not in gens:
                continue
            i = gens[41] & 0xFFFF
            for iz in range(inst[i][1], inst[i + 1][1]):
                igens = dict(igen[ibag[iz][0]:ibag[iz + 1][0]])
                if 53 in igens:
                    h = shdr[igens[53] & 0xFFFF]
                    if h[9] in (1, 4):  # mono, or the left of a pair: one take of each sound
                        samples[igens[53] & 0xFFFF] = (h[0].split(b"\0")[0].decode("latin-1"), h[5], h[1], h[2],
                                                       h[3], h[4])
        presets[program] = (name.split(b"\0")[0].decode("latin-1"), sorted(samples.values()))
    return pcm, presets


def vlq(n):
    out = [n & 0x7F]
    while n > 127:
        n >>= 7
        out.insert(0, 0x80 | (n & 0x7F))
    return bytes(out)


def write_midi(path, program, keys):
    """One track: the program, then each key held HELD seconds, GAP apart."""
    ticks = 960  # per second, at 120 beats a minute and 480 a beat
    events = bytearray(vlq(0) + bytes([0xC0, program]))
    rest = 0
    for key in keys:
        events += vlq(rest) + bytes([0x90, key, 100])
        events += vlq(int(HELD * ticks)) + bytes([0x80, key, 0])
        rest = int(GAP * ticks)
    events += vlq(rest) + b"\xff\x2f\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480))
        f.write(b"MTrk" + struct.pack(">I", len(events)) + events)


def render(font, midi, out):
    subprocess.run(["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-g", "0.5", "-r", str(RATE), "-F", out,
                    font, midi], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with wave.open(out) as w:
        frames = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").reshape(-1, w.getnchannels())
    return frames.astype(float).mean(axis=1) / 32768.0


def level_db(x):
    rms = math.sqrt(float(np.mean(x * x))) if len(x) else 0.0
    return 20 * math.log10(rms) if rms > 0 else -math.inf


def lag_peak(r, near, reach):
    """The highest point of r within reach of near, refined by a parabola."""
    lo, hi = max(1, int(near - reach)), min(len(r) - 2, int(near + reach) + 1)
    if lo >= hi:
        return None
    i = lo + int(np.argmax(r[lo:hi + 1]))
    a, b, c = r[i - 1], r[i], r[i + 1]
    d = a - 2 * b + c
    return i + (0.5 * (a - c) / d if d < 0 else 0.0)


def cents_off(x, key):
    """The pitch of x in cents from the key's, or None where it has none."""
    expected = RATE / (440.0 * 2 ** ((key - 69) / 12))
    seg = x - x.mean()
    n = len(seg)
    if level_db(seg) < SILENT_DB:
        return None
    spectrum = np.fft.rfft(seg, 2 * n)
    r = np.fft.irfft(spectrum * np.conj(spectrum))[:n]
    r = r / (r[0] * (n - np.arange(n)) / n)
    lo, hi = max(2, int(expected / 2.3)), min(int(expected * 2.3) + 2, n // 2)
    window = r[lo:hi]
    peaks = [i for i in range(1, len(window) - 1) if window[i] >= window[i - 1] and window[i] >= window[i + 1]]
    if not peaks:
        return None
    best = max(window[i] for i in peaks)
    if best < 0.5:
        return None
    lag = lag_peak(r, lo + min(i for i in peaks if window[i] >= 0.85 * best), 1)
    # Refined on ever further multiples of the period, a quarter period of
    # reach each time so that no step can land on a neighbouring peak.
    times = 1
    while lag * times * 2 < min(0.2 * RATE, n // 2 - 2):
        times *= 2
        far = lag_peak(r, lag * times, max(1.0, 0.25 * lag))
        if far is None:
            break
        lag = far / times
    return 1200 * math.log2(expected / lag)


def judge_seams(seam, paths):
    run = subprocess.run([seam, "--format", "json", *paths], capture_output=True, text=True)
    if run.returncode == 2:
        sys.exit(f"sorvane-seam failed:\n{run.stderr}")
    loops = json.loads(run.stdout)["loops"]
    return sum(1 for loop in loops if loop["verdict"] == "smooth")


def measure(audio, keys):
    """Per key: (cents off or None, whether it sustains)."""
    out = []
    for n, key in enumerate(keys):
        at = int(n * (HELD + GAP) * RATE)
        cents = cents_off(audio[at + RATE:at + int(3.5 * RATE)], key)
        early = level_db(audio[at + RATE:at + int(1.5 * RATE)])
        late = level_db(audio[at + 3 * RATE:at + int(3.5 * RATE)])
        out.append((cents, late > SILENT_DB and abs(late - early) <= SUSTAIN_DB, early > SILENT_DB))
    return out


def summary(measured):
    within = sum(1 for c, _, _ in measured if c is not None and abs(c) <= PITCH_CENTS)
    octave = sum(1 for c, _, _ in measured if c is not None and abs(abs(c) - 1200) <= 50)
    held = sum(1 for _, s, _ in measured if s)
    near = sorted(abs(c) for c, _, _ in measured if c is not None and abs(c) < 600)
    sounding = sum(1 for _, _, a in measured if a)
    return within, octave, held, near, sounding


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-release"))
    parser.add_argument("--soundfont", default=DEFAULT_SOUNDFONT)
    parser.add_argument("--keys", nargs=2, type=int, default=[36, 96], metavar=("LOW", "HIGH"))
    parser.add_argument("--keep", help="keep the notes, instruments and renderings in this folder")
    args = parser.parse_args()
    subprocess.run([os.path.join(ROOT, "scripts/ensure-packages.sh"), "timgm6mb-soundfont", "fluidsynth",
                    "python3-numpy"], check=True)
    instrument, seam = build_programs(ROOT, args.build_dir, "sorvane-instrument", "sorvane-seam")
    keys = list(range(args.keys[0], args.keys[1] + 1))
    pcm, presets = read_presets(args.soundfont)

    totals = np.zeros(10, dtype=int)
    near_all = ([], [])
    print(f"Keys {keys[0]} to {keys[-1]} held {HELD:g} s; pitch within {PITCH_CENTS:g} cents; sustains within "
          f"{SUSTAIN_DB:g} dB from 1 s to 3 s; seams smooth by sorvane-seam. Original / rebuilt:")
    print(f"{'instrument':24} {'samples':>7} {'sounding':>9} {'pitch':>9} {'median':>11} {'octave off':>10} "
          f"{'sustains':>9} {'seams smooth':>12}")
    with tempfile.TemporaryDirectory() as scratch:
        work = args.keep or scratch
        for program in PROGRAMS:
            if program not in presets:
                continue
            name, samples = presets[program]
            notes = os.path.join(work, f"notes-{program}")
            designer = os.path.join(work, f"designer-{program}")
            os.makedirs(notes, exist_ok=True)
            os.makedirs(designer, exist_ok=True)
            for n, (sample, rate, start, end, _, _) in enumerate(samples):
                write_wav(os.path.join(notes, f"take{n:02}.wav"), rate, pcm[start:end].tolist())
            built = os.path.join(work, f"rebuilt-{program}")
            run = subprocess.run([instrument, "-q", "--name", "rebuilt", "-o", built, notes], capture_output=True,
                                 text=True)
            if run.returncode == 2:
                sys.exit(f"sorvane-instrument failed on {name}:\n{run.stderr}")
            midi = os.path.join(work, f"keys-{program}.mid")
            write_midi(midi, program, keys)
            original = measure(render(args.soundfont, midi, os.path.join(work, f"original-{program}.wav")), keys)
            write_midi(midi, 0, keys)
            font = os.path.join(built, "rebuilt.sf2")
            rebuilt = (measure(render(font, midi, os.path.join(work, f"rebuilt-{program}.wav")), keys)
                       if os.path.exists(font) else [(None, False, False)] * len(keys))
            folder = os.path.join(built, "samples")
            ours = sorted(os.path.join(folder, f) for f in os.listdir(folder)) if os.path.isdir(folder) else []
            smooth_ours = judge_seams(seam, ours) if ours else 0
            # The designers' loops, as each sample's header marks them.
            smooth_designer = judge_seams(seam, designer_loops(pcm, samples, designer))
            o, r = summary(original), summary(rebuilt)
            totals += np.array([o[0], r[0], o[1], r[1], o[2], r[2], smooth_designer, smooth_ours, o[4], r[4]])
            near_all[0].extend(o[3])
            near_all[1].extend(r[3])
            print(f"{name[:24]:24} {len(samples):>7} {o[4]:>4}/{r[4]:<4} {o[0]:>4}/{r[0]:<4} {median(o[3]):>5}/{median(r[3]):<5} "
                  f"{o[1]:>4}/{r[1]:<5} {o[2]:>4}/{r[2]:<4} {smooth_designer:>5}/{smooth_ours}"
                  + (f"  ({len(samples) - len(ours)} left out)" if len(ours) < len(samples) else ""))
    count = len(keys) * sum(1 for p in PROGRAMS if p in presets)
    print(f"{'all ' + str(count) + ' keys':24} {'':>7} {totals[8]:>4}/{totals[9]:<4} {totals[0]:>4}/{totals[1]:<4} "
          f"{median(near_all[0]):>5}/{median(near_all[1]):<5} {totals[2]:>4}/{totals[3]:<5} "
          f"{totals[4]:>4}/{totals[5]:<4} {totals[6]:>5}/{totals[7]}")
    print("sounding: keys that play at all; pitch: keys within the cents; median: the median cents off, keys an octave off left out; octave off: within 50 cents "
          "of an octave")


def median(values):
    values = sorted(values)
    return f"{values[len(values) // 2]:.1f}" if values else "-"


def designer_loops(pcm, samples, folder):
    """Each sample with the loop its header marks, as a WAV a sampler reads."""
    paths = []
    for n, (_, rate, start, end, loop_start, loop_end) in enumerate(samples):
        if start <= loop_start < loop_end <= end:
            path = os.path.join(folder, f"take{n:02}.wav")
            write_wav(path, rate, pcm[start:end].tolist(), (loop_start - start, loop_end - start))
            paths.append(path)
    return paths


if __name__ == "__main__":
    main()
