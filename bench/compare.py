#!/usr/bin/env python3
"""Times sorvane against the block-I/O floor program and, where installed,
SoX and ffmpeg doing the nearest equivalent job. Prints medians and ratios
measured in the same run; the machine is noisy, so trust ratios over times."""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

RATE = 44100
MODES = ["crossfade", "pingpong", "zerocrossing"]


def run_once(argv):
    """Wall seconds and peak resident KiB of one command (children included).

    The peak comes from GNU time: a child forked straight from this Python
    process would report Python's own peak, which execve keeps."""
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    wall = time.perf_counter() - start
    err = proc.stderr.decode(errors="replace").strip().splitlines()
    if proc.returncode != 0 or not err:
        sys.exit(f"failed: {' '.join(argv)}\n" + "\n".join(err))
    return wall, int(err[-1])


def head_frames(frames):
    # sorvane's 15 %: single-precision 0.15 times N, truncated.
    import struct
    x = struct.unpack("f", struct.pack("f", 15.0 * struct.unpack("f", struct.pack("f", 0.01))[0]))[0]
    return int(x * frames)


def commands(tool, build, inp, out, mode, frames):
    if tool == "sorvane":
        return [[f"{build}/sorvane", inp, out, mode.upper()]]
    if tool == "floor":
        return [[f"{build}/sorvane_bench_floor", inp, out, mode]]
    if tool == "sox":
        if mode == "pingpong":
            return [["sox", inp, f"|sox {inp} -p reverse", out]]
        if mode == "crossfade":
            return [["sox", inp, out, "trim", f"{head_frames(frames)}s"]]
        return [["sox", inp, out, "trim", "0s", f"{frames - 1}s"]]
    if tool == "ffmpeg":
        base = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", inp]
        if mode == "pingpong":
            graph = "[0:a]asplit[a][b];[b]areverse[r];[a][r]concat=n=2:v=0:a=1"
            return [base + ["-filter_complex", graph, out]]
        if mode == "crossfade":
            return [base + ["-af", f"atrim=start_sample={head_frames(frames)}", out]]
        return [base + ["-af", f"atrim=end_sample={frames - 1}", out]]
    raise ValueError(tool)


def empty(folder):
    """Removes every output, so that each run writes new files, as a user
    making loops does (sorvane syncs only a file it replaces)."""
    for name in os.listdir(folder):
        os.unlink(os.path.join(folder, name))


def measure(tools, runs, job, outputs):
    """Runs each tool's job `runs` times, interleaved in a rotating order, and
    returns medians. Outputs are removed and dirty pages flushed before each
    job, so no tool pays for the writeback of the one before it."""
    walls = {t: [] for t in tools}
    peaks = {t: [] for t in tools}
    for round_ in range(runs):
        for tool in tools[round_ % len(tools):] + tools[:round_ % len(tools)]:
            empty(outputs)
            os.sync()
            wall = 0.0
            peak = 0
            for argv in job(tool):
                w, p = run_once(argv)
                wall += w
                peak = max(peak, p)
            walls[tool].append(wall)
            peaks[tool].append(peak)
    return {t: (statistics.median(walls[t]), statistics.median(peaks[t])) for t in tools}


def print_table(title, results, budget_bytes=None):
    floor_wall = results["floor"][0]
    print(f"\n{title}")
    print(f"  {'tool':<8} {'median s':>9} {'x floor':>8} {'peak MiB':>9}")
    for tool, (wall, peak) in results.items():
        print(f"  {tool:<8} {wall:9.3f} {wall / floor_wall:8.2f} {peak / 1024:9.1f}")
    if "sox" in results:
        print(f"  sorvane / sox: {results['sorvane'][0] / results['sox'][0]:.2f}")
    if budget_bytes is not None:
        limit = (budget_bytes + 16 * 2**20) / 2**20
        print(f"  sorvane peak vs target (8 bytes an input sample + 16 MiB): "
              f"{results['sorvane'][1] / 1024:.1f} of {limit:.1f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build-bench")
    parser.add_argument("--work", default="build-bench/work")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--minutes", type=float, default=10.0)
    args = parser.parse_args()

    work = args.work
    os.makedirs(f"{work}/short", exist_ok=True)
    os.makedirs(f"{work}/out", exist_ok=True)
    frames = int(args.minutes * 60 * RATE)
    if not os.path.exists(f"{work}/long-mono.wav"):
        print(f"generating inputs in {work} ...", flush=True)
        subprocess.run([f"{args.build}/sorvane_bench_inputs", work, str(args.minutes)], check=True)

    tools = ["sorvane", "floor"] + [t for t in ("sox", "ffmpeg") if shutil.which(t)]
    missing = [t for t in ("sox", "ffmpeg") if t not in tools]
    print(f"{args.runs} runs each, medians; tools: {', '.join(tools)}"
          + (f" (not installed: {', '.join(missing)})" if missing else ""))

    for name, ext, channels in (("long", "wav", 2), ("long-mono", "wav", 1), ("long", "flac", 2)):
        inp = f"{work}/{name}.{ext}"
        for mode in MODES:
            def job(tool, mode=mode, inp=inp, ext=ext):
                return commands(tool, args.build, inp, f"{work}/out/{tool}-{mode}.{ext}", mode, frames)
            results = measure(tools, args.runs, job, f"{work}/out")
            kind = "stereo" if channels == 2 else "mono"
            print_table(f"{mode.upper()}, {args.minutes:g}-minute {kind} 16-bit {ext.upper()} ({frames} frames)",
                        results, 8 * channels * frames if ext == "wav" else None)

    shorts = sorted(os.listdir(f"{work}/short"))
    for mode in MODES:
        def batch(tool, mode=mode):
            return [argv for name in shorts
                    for argv in commands(tool, args.build, f"{work}/short/{name}",
                                         f"{work}/out/{tool}-{name}", mode, RATE)]
        print_table(f"{mode.upper()}, {len(shorts)} one-second stereo WAV files, one process each",
                    measure(tools, args.runs, batch, f"{work}/out"))
    print(f"\n{time.strftime('%Y-%m-%dT%H:%M:%S')} done")


if __name__ == "__main__":
    main()
