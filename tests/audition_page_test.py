#!/usr/bin/env python3
"""The audition pages in a real browser: headless Chromium opens each page
as PAGE#selftest, where the page renders every loop offline and writes
whether the rendered wrap plays the file's frames exactly; the test reads
that back over the DevTools protocol, presses the buttons and keys, and
fails on anything the page says on the console or throws.

Usage: audition_page_test.py SORVANE_INSTRUMENT SORVANE_SEAM MAKE_EXAMPLE SORVANE_SUSTAIN
"""
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time


class Chromium:
    """Headless Chromium driven through --remote-debugging-pipe: commands
    on its descriptor 3, answers and events on its descriptor 4, each a JSON
    text ended by a NUL."""

    def __init__(self, profile):
        to_child, self.commands = os.pipe()
        self.answers, from_child = os.pipe()

        def descriptors():
            a, b = os.dup(to_child), os.dup(from_child)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.process = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--remote-debugging-pipe", "--user-data-dir=" + profile, "about:blank"],
            preexec_fn=descriptors, pass_fds=(3, 4), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_child)
        os.close(from_child)
        self.pending = b""
        self.last = 0
        self.events = []

    def call(self, method, params=None, session=None, timeout=60):
        self.last += 1
        message = {"id": self.last, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        until = time.time() + timeout
        while True:
            while b"\0" not in self.pending:
                ready, _, _ = select.select([self.answers], [], [], max(0.0, until - time.time()))
                if not ready:
                    raise TimeoutError(f"Chromium did not answer {method}")
                chunk = os.read(self.answers, 1 << 20)
                if not chunk:
                    raise RuntimeError("Chromium ended")
                self.pending += chunk
            text, self.pending = self.pending.split(b"\0", 1)
            answer = json.loads(text)
            if answer.get("id") == self.last:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer.get("result", {})
            self.events.append(answer)

    def close(self):
        try:
            self.call("Browser.close", timeout=10)
        except (RuntimeError, TimeoutError, OSError):
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()


def complaints(events):
    """What the page said on the console, threw, or the browser logged as an error."""
    said = []
    for e in events:
        method, params = e.get("method"), e.get("params", {})
        if method == "Runtime.consoleAPICalled":
            said.append("console: " + " ".join(str(a.get("value", a.get("description"))) for a in params["args"]))
        elif method == "Runtime.exceptionThrown":
            said.append("exception: " + json.dumps(params["exceptionDetails"])[:400])
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            said.append("log: " + params["entry"]["text"])
    return said


def open_page(browser, url):
    target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = browser.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    for domain in ("Runtime.enable", "Log.enable", "Page.enable"):
        browser.call(domain, session=session)
    browser.call("Page.navigate", {"url": url}, session=session)
    return session


def evaluate(browser, session, expression):
    result = browser.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                               "awaitPromise": True, "userGesture": True}, session=session)
    if "exceptionDetails" in result:
        raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
    return result["result"].get("value")


def check_page(browser, page, loops, keyboard):
    """Opens `page`#selftest; returns what is wrong with it."""
    wrong = []
    start = len(browser.events)
    session = open_page(browser, "file://" + page + "#selftest")
    text = ""
    until = time.time() + 120
    while time.time() < until:
        text = evaluate(browser, session, "(document.getElementById('selftest') || {}).textContent || ''") or ""
        if text.startswith(("PASS", "FAIL")):
            break
        time.sleep(0.2)
    if not text.startswith(f"PASS: {loops} of {loops} loops wrap exactly"):
        wrong.append(f"{page}: the self-check says: {text or 'nothing'}")
    # What the buttons and keys play is each note at its own rate, frame for
    # frame, whatever the self-check says.
    try:
        played = evaluate(browser, session, """Promise.all(loops.map((l, i) => bufferOf(i).then(
            (b) => l.name + ": " + b.sampleRate + " Hz, " + b.length + " frames; the file " + l.rate + " Hz, " +
                   l.frames + " frames")))""")
    except RuntimeError as e:
        played = []
        wrong.append(f"{page}: the page's script does not run: {str(e)[-200:]}")
    for line in played or []:
        rates = line.split(": ", 1)[1].split("; the file ")
        if rates[0] != rates[1]:
            wrong.append(f"{page}: plays {line}")
    # The buttons and keys do what they say, without a complaint.
    evaluate(browser, session, "document.querySelector('button[data-play]').click()")
    evaluate(browser, session, "document.querySelector('button[data-seam]').click()")
    if keyboard:
        evaluate(browser, session, """(() => {
            const key = document.querySelector('#keyboard .white:not(.none)');
            const at = key.getBoundingClientRect();
            const e = {bubbles: true, pointerId: 1, clientX: at.left + 2, clientY: at.top + at.height / 2};
            key.dispatchEvent(new PointerEvent('pointerdown', e));
            setTimeout(() => key.dispatchEvent(new PointerEvent('pointerup', e)), 200);
        })()""")
    time.sleep(1.0)
    states = evaluate(browser, session, "[document.querySelector('button[data-play]').textContent,"
                                        " document.querySelector('button[data-seam]').textContent,"
                                        " document.getElementById('errors').textContent]")
    if states[:2] != ["Stop", "Stop"] or states[2]:
        wrong.append(f"{page}: after pressing Play and Seam: {states}")
    if keyboard and not evaluate(browser, session, "document.querySelectorAll('#keyboard div').length > 12"):
        wrong.append(f"{page}: no keyboard")
    wrong += [f"{page}: {c}" for c in complaints(browser.events[start:])]
    return wrong


def run(*args):
    done = subprocess.run(args, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(args)} failed ({done.returncode}):\n{done.stderr}")


def main():
    instrument, seam, make_example, sustain = sys.argv[1:5]
    if not shutil.which("chromium"):
        sys.exit("chromium is not installed (test.sh installs it)")
    with tempfile.TemporaryDirectory() as work:
        notes = os.path.join(work, "notes")
        os.mkdir(notes)
        run(make_example, "--notes", notes, "3", "2", "44100", "24")
        run(instrument, "-q", "-o", os.path.join(work, "flac"), notes)
        run(instrument, "-q", "--format", "wav", "-o", os.path.join(work, "wav"), notes)
        # Notes at two rates in one instrument.
        higher = os.path.join(work, "higher")
        os.mkdir(higher)
        run(make_example, "--notes", higher, "3", "2", "48000", "16")
        for name in os.listdir(higher):
            shutil.copy(os.path.join(higher, name), os.path.join(notes, "hi_" + name))
        run(instrument, "-q", "-o", os.path.join(work, "mixed"), notes)
        # Loops of every kind sorvane-seam meets: a sustain loop a FLAC
        # marks, a whole 16-bit WAV loop, and an AIFF the page must copy.
        bowed = os.path.join(work, "bowed.wav")
        run(make_example, "--bowed", bowed, "3")
        run(sustain, bowed, os.path.join(work, "marked.flac"))
        run(os.path.join(os.path.dirname(seam), "sorvane"), bowed, os.path.join(work, "whole.wav"), "pingpong")
        run(os.path.join(os.path.dirname(seam), "sorvane"), bowed, os.path.join(work, "whole.aiff"), "crossfade")
        # A name with markup, which must stay text.
        hostile = os.path.join(work, "take<!--<script>.wav")
        shutil.copy(os.path.join(work, "whole.wav"), hostile)
        page = os.path.join(work, "loops.html")
        done = subprocess.run([seam, "--html", page] + [os.path.join(work, f) for f in
                                                        ("marked.flac", "whole.wav", "whole.aiff", hostile)],
                              capture_output=True, text=True)
        if done.returncode not in (0, 1):
            sys.exit(f"sorvane-seam --html failed ({done.returncode}):\n{done.stderr}")
        browser = Chromium(os.path.join(work, "profile"))
        try:
            wrong = (check_page(browser, os.path.join(work, "flac", "index.html"), 3, True) +
                     check_page(browser, os.path.join(work, "wav", "index.html"), 3, True) +
                     check_page(browser, os.path.join(work, "mixed", "index.html"), 6, True) +
                     check_page(browser, page, 4, False))
        finally:
            browser.close()
    for line in wrong:
        print(line)
    print("audition pages: " + ("all loops wrap exactly, no complaint" if not wrong else f"{len(wrong)} faults"))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
