#!/usr/bin/python3
"""Lossy loops as other decoders play them: ffmpeg and SDL_mixer (through
pygame) must decode exactly the loop's frames, starting on its first frame,
and the wrap must be as smooth as in the lossless loop.

Usage: lossy_decoders_test.py SORVANE SORVANE_SEAM SORVANE_SUSTAIN
"""
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import wave

# Both decoders round to 16 bits, each in its own way.
ROUNDING = 2
# How far a decoded sample may stray from the lossless loop's: the codecs'
# noise on this signal at their default settings is well below it; a frame
# out of place (the context played, or a shift) is far above it.
CODEC_NOISE = 0.02 * 32768
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)


def write_wav(path, rate, channels):
    frames = len(channels[0])
    with wave.open(path, "wb") as w:
        w.setnchannels(len(channels))
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(b"".join(struct.pack("<" + "h" * len(channels), *(int(c[k]) for c in channels))
                               for k in range(frames)))


def read_wav(path):
    with wave.open(path, "rb") as w:
        n, ch = w.getnframes(), w.getnchannels()
        data = struct.unpack("<%dh" % (n * ch), w.readframes(n))
    return [data[c::ch] for c in range(ch)], w.getframerate()


def tone(rate, seconds, fundamental, seed):
    """A held note with harmonics at random phases, slowly swelling, and a
    little noise: a different one per channel."""
    rng = random.Random(seed)
    phases = [rng.uniform(0, 2 * math.pi) for _ in range(12)]
    out = []
    for k in range(int(rate * seconds)):
        t = k / rate
        value = sum(math.sin(2 * math.pi * fundamental * h * t + phases[h - 1]) / h for h in range(1, 13))
        out.append(round(9000 * (1 + 0.2 * math.sin(2 * math.pi * 0.7 * t)) * value + rng.gauss(0, 30)))
    return out


def decode_ffmpeg(path, work, rate):
    out = os.path.join(work, "ffmpeg.wav")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", path, "-ar", str(rate), "-c:a", "pcm_s16le", out],
                   check=True)
    return read_wav(out)[0]


def decode_sdl_mixer(path, rate):
    """The whole file as SDL_mixer decodes it, at `rate`: frames per channel."""
    code = ("import os, sys\nos.environ['SDL_AUDIODRIVER'] = 'dummy'\nimport pygame\n"
            f"pygame.mixer.init(frequency={rate}, size=-16, channels=2)\n"
            f"sound = pygame.mixer.Sound({path!r})\nprint(len(sound.get_raw()) // 4)\n")
    run = subprocess.run(["/usr/bin/python3", "-c", code], capture_output=True, text=True,
                         env={**os.environ, "PYGAME_HIDE_SUPPORT_PROMPT": "1"})
    if run.returncode != 0:
        return None
    return int(run.stdout.strip().splitlines()[-1])


def play_sdl_mixer(path, rate, seconds, work):
    """What SDL_mixer plays of `path` as looping music (its LOOPSTART and
    LOOPLENGTH honoured), through SDL's disk driver: the left channel, from
    the first sound (the file's first frame must not be silent)."""
    raw = os.path.join(work, "played.raw")
    code = ("import os, sys, time\nos.environ['SDL_AUDIODRIVER'] = 'disk'\n"
            f"os.environ['SDL_DISKAUDIOFILE'] = {raw!r}\nos.environ['SDL_DISKAUDIODELAY'] = '0'\n"
            f"import pygame\npygame.mixer.init(frequency={rate}, size=-16, channels=2, buffer=1024)\n"
            f"pygame.mixer.music.load({path!r})\npygame.mixer.music.play(loops=-1)\ntime.sleep({seconds})\n"
            "pygame.mixer.music.stop()\npygame.mixer.quit()\n")
    run = subprocess.run(["/usr/bin/python3", "-c", code], capture_output=True, text=True,
                         env={**os.environ, "PYGAME_HIDE_SUPPORT_PROMPT": "1"})
    if run.returncode != 0 or not os.path.exists(raw):
        return None
    with open(raw, "rb") as f:
        data = f.read()
    left = struct.unpack("<%dh" % (len(data) // 2), data)[0::2]
    # The driver's first buffers may be silence, before the music starts.
    begins = next((k for k, v in enumerate(left) if v != 0), len(left))
    return left[begins:]


def wraps_exactly(played, decoded, start, end):
    """Whether `played` is the file up to the loop's end, then the loop
    again, at SDL_mixer's own volume (a gain just under 1), to the 16-bit
    step, through the first two wraps; and a wrap a frame off is not."""
    def residual(shift):
        expected = list(decoded[:end]) + list(decoded[start + shift:end]) + list(decoded[start:end])
        n = min(len(played), len(expected))
        gain = sum(p * e for p, e in zip(played[:n], expected[:n])) / max(1, sum(e * e for e in expected[:n]))
        return max(abs(p - gain * e) for p, e in zip(played[:n], expected[:n]))
    return residual(0) <= ROUNDING and residual(1) > CODEC_NOISE


def main():
    sorvane, seam, sustain = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as work:
        rate = 44100
        note = os.path.join(work, "note.wav")
        write_wav(note, rate, [tone(rate, 2.0, 220.0, 1), tone(rate, 2.0, 330.0, 2)])
        reference = os.path.join(work, "loop.flac")
        subprocess.run([sorvane, note, reference, "CROSSFADE", "10"], check=True, capture_output=True)
        lossless = decode_ffmpeg(reference, work, rate)
        frames = len(lossless[0])
        heard = decode_sdl_mixer(reference, rate)
        check(heard == frames, f"flac: SDL_mixer decodes {heard} frames, the loop has {frames}")
        for extension, file_rate in (("ogg", 44100), ("mp3", 44100), ("opus", 48000)):
            path = os.path.join(work, "loop." + extension)
            run = subprocess.run([sorvane, note, path, "CROSSFADE", "10"], capture_output=True, text=True)
            check(run.returncode == 0, f"{extension}: sorvane failed: {run.stderr.strip()}")
            if run.returncode != 0:
                continue
            check("Warning" not in run.stderr, f"{extension}: {run.stderr.strip()}")
            expected = frames if file_rate == rate else round(frames * file_rate / rate)
            decoded = decode_ffmpeg(path, work, file_rate)
            check(len(decoded[0]) == expected,
                  f"{extension}: ffmpeg decodes {len(decoded[0])} frames, the loop has {expected}")
            if extension != "mp3":
                heard = decode_sdl_mixer(path, file_rate)
                check(heard == expected, f"{extension}: SDL_mixer decodes {heard} frames, the loop has {expected}")
            # Back at the loop's rate, each channel must follow the lossless
            # loop from its first frame to its last: nothing of the context
            # before or after it, no shift. A resampled loop is stretched by
            # less than a frame to span whole frames: its end is not compared.
            if file_rate != rate:
                decoded = decode_ffmpeg(path, work, rate)
            for c in range(2):
                ours, theirs = decoded[c], lossless[c]
                n = min(len(ours), len(theirs))
                spans = (("start", range(0, 64)),) + ((("end", range(n - 64, n)),) if file_rate == rate else ())
                for name, span in spans:
                    worst = max(abs(ours[k] - theirs[k]) for k in span)
                    check(worst <= CODEC_NOISE + ROUNDING,
                          f"{extension}: channel {c} strays by {worst} at its {name}")
                # The wrap: the step from the last frame to the first as the
                # lossless loop makes it, within the codec's noise.
                step = (ours[0] - ours[n - 1]) - (theirs[0] - theirs[n - 1])
                check(abs(step) <= CODEC_NOISE, f"{extension}: channel {c}'s wrap differs by {step}")
            verdict = subprocess.run([seam, "--format", "tsv", path], capture_output=True, text=True)
            rows = [line.split("\t") for line in verdict.stdout.splitlines()[1:]]
            check(rows and all(row[9] == "smooth" for row in rows),
                  f"{extension}: sorvane-seam judges the written wrap {[row[9] for row in rows]}")

        # A sustained note stored as Ogg Vorbis, looped inside: whatever is
        # written, SDL_mixer must decode the whole note.
        ogg_note = os.path.join(work, "note.ogg")
        subprocess.run([sorvane, note, ogg_note, "PINGPONG"], check=True, capture_output=True)
        looped = os.path.join(work, "looped.ogg")
        run = subprocess.run([sustain, ogg_note, looped], capture_output=True, text=True)
        check(run.returncode == 0, f"sorvane-sustain on an Ogg note: {run.stderr.strip()}")
        if run.returncode == 0:
            check("Encoding:" in run.stdout, "sorvane-sustain does not say how the note was written")
            check(decode_sdl_mixer(looped, rate) == 2 * int(2.0 * rate),
                  "SDL_mixer does not decode the whole looped note")
            first, last = (int(v) for v in run.stdout.split("Loop:      frames ")[1].split()[0:3:2])
            played = play_sdl_mixer(looped, rate, 0.3, work)
            check(played is not None and wraps_exactly(played, decode_ffmpeg(looped, work, rate)[0], first, last + 1),
                  "SDL_mixer does not wrap the looped Ogg note on its loop's first frame")
        # An Opus note at 24 kHz: libsndfile decodes it at 24 kHz, players at
        # 48 kHz, and the loop comments count 48 kHz samples.
        low = os.path.join(work, "low.wav")
        write_wav(low, 24000, [tone(24000, 2.0, 220.0, 3), tone(24000, 2.0, 330.0, 4)])
        low_opus, looped_opus = os.path.join(work, "low.opus"), os.path.join(work, "looped.opus")
        subprocess.run([sorvane, low, low_opus, "PINGPONG"], check=True, capture_output=True)
        run = subprocess.run([sustain, "--no-crossfade", low_opus, looped_opus], capture_output=True, text=True)
        check(run.returncode == 0, f"sorvane-sustain on a 24 kHz Opus note: {run.stderr.strip()}")
        if run.returncode == 0:
            first = int(run.stdout.split("Loop:      frames ")[1].split()[0])
            probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream_tags=LOOPSTART", "-of",
                                    "csv=p=0", looped_opus], capture_output=True, text=True)
            check(probe.stdout.strip() == str(2 * first),
                  f"a 24 kHz Opus note's loop starts at frame {first}, its comment says {probe.stdout.strip()}")
        refused = subprocess.run([sustain, "--quality", "11", ogg_note, looped], capture_output=True, text=True)
        check(refused.returncode == 1 and "--quality for Ogg Vorbis is a quality from -1 to 10" in refused.stderr,
              f"--quality 11 for Ogg Vorbis: {refused.returncode} {refused.stderr.strip()}")
    if failures:
        print(f"{len(failures)} failure(s)")
        return 1
    print("all lossy loops decode as written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
