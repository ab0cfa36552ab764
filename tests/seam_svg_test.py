#!/usr/bin/env python3
"""Runs sorvane-seam on generated mono and stereo loops and parses each
picture as XML: one lane per channel, a seam marker, a time axis in ms."""
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

SVG = "{http://www.w3.org/2000/svg}"


def main():
    seam, make_example, sorvane = sys.argv[1:4]
    failures = 0
    passed = 0

    def check(condition, what):
        nonlocal failures, passed
        if condition:
            passed += 1
        else:
            failures += 1
            print(f"FAIL: {what}")

    with tempfile.TemporaryDirectory() as work:
        stereo = os.path.join(work, "pluck & <co>.wav")
        subprocess.run([make_example, stereo], check=True)
        loop = os.path.join(work, "loop.wav")
        subprocess.run([sorvane, stereo, loop, "CROSSFADE"], check=True, stdout=subprocess.DEVNULL)
        # A control character and a byte that is no UTF-8 in the name.
        odd = os.path.join(os.fsencode(work), b"take\x01\xff.wav")
        subprocess.run([sorvane, stereo, odd, "PINGPONG"], check=True, stdout=subprocess.DEVNULL)
        for path, lanes in ((loop, 2), (stereo, 2), (odd, 2)):
            picture = os.path.join(work, "seam.svg")
            run = subprocess.run([seam, "--svg", picture, path], capture_output=True, text=True, errors="replace")
            check(run.returncode in (0, 1), f"{path!r}: status {run.returncode}: {run.stderr}")
            root = ET.parse(picture).getroot()
            check(root.tag == SVG + "svg", "root element is svg")
            groups = root.findall(SVG + "g")
            lane_groups = [g for g in groups if g.get("class") == "lane"]
            check(len(lane_groups) == lanes, f"{len(lane_groups)} lanes, expected {lanes}")
            check(all(g.find(SVG + "polyline") is not None for g in lane_groups), "each lane has a waveform")
            seam_groups = [g for g in groups if g.get("class") == "seam"]
            check(len(seam_groups) == 1, "one seam marker")
            if seam_groups:
                line = seam_groups[0].find(SVG + "line")
                check(line is not None and line.get("x1") == line.get("x2"), "the seam is a vertical line")
                label = seam_groups[0].find(SVG + "text")
                check(label is not None and "seam" in label.text, "the seam is labelled")
            axis = [g for g in groups if g.get("class") == "axis"]
            texts = [t.text for t in axis[0].findall(SVG + "text")] if axis else []
            check("-10" in texts and "0" in texts and "10" in texts, f"axis from -10 to 10 ms: {texts}")
            check(any("ms" in (t or "") for t in texts), "the axis says ms")
            verdict = [t.text for t in root.iter(SVG + "text") if t.get("class") == "verdict"]
            check(verdict == [run.stdout.strip().splitlines()[-1]], f"the picture shows the verdict: {verdict}")
            check(root.find(f".//{SVG}circle") is not None, "the frames at the seam are dots")
            title = root.find(SVG + "title")
            name = os.path.basename(os.fsdecode(path)).encode("utf-8", "surrogateescape")
            name = name.decode("utf-8", "replace").replace("\x01", "\ufffd")
            check(title is not None and name in title.text, "title names the file")

    print(f"{passed} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
