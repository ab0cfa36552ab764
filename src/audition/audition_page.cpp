#include "audition/audition_page.hpp"

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <sndfile.h>
#include <taglib/tbytevector.h>

#include "files/file_descriptor.hpp"
#include "escape/escape.hpp"
#include "sustain/pitch.hpp"

namespace sorvane {

namespace {

const char* const kStyle = R"(<style>
body { font-family: system-ui, sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; margin-bottom: 0.2em; }
.by { color: #666; margin-top: 0; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 0.35em 0.6em; border-bottom: 1px solid #ddd; vertical-align: top; }
td.smooth { color: #1a7f37; } td.click, td.jump { color: #c0392b; } td.unjudged { color: #8a6d00; }
button { margin: 0 0.2em 0.2em 0; min-width: 4.5em; }
details svg { width: 100%; max-width: 1000px; height: auto; display: block; }
#keyboard { position: relative; height: 130px; margin: 1em 0; user-select: none; touch-action: none; }
#keyboard div { position: absolute; top: 0; box-sizing: border-box; border: 1px solid #555; border-radius: 0 0 4px 4px; }
#keyboard .white { background: #fff; height: 130px; z-index: 1; }
#keyboard .black { background: #222; height: 80px; z-index: 2; }
#keyboard .down { background: #7fb3ff; }
#keyboard .none { background: #eee; }
#keyboard .black.none { background: #777; }
#keys-help { color: #666; font-size: 0.9em; }
pre#selftest, pre#errors { background: #f6f6f6; padding: 0.6em; }
</style>
)";

const char* const kScript = R"JS(<script>
"use strict";
const loops = JSON.parse(document.getElementById("loops").textContent);
const errors = [];
function fail(text) {
  errors.push(String(text));
  const box = document.getElementById("errors");
  box.hidden = false;
  box.textContent = errors.join("\n");
}
window.addEventListener("error", (e) => fail(e.message));
window.addEventListener("unhandledrejection", (e) => fail(e.reason));

// The file's own bytes, embedded as base64; a fresh copy each time, since
// decoding takes the buffer.
const bytes = new Map();
async function bytesOf(i) {
  if (!bytes.has(i)) {
    const text = atob(document.getElementById("audio-" + i).textContent.trim());
    const array = new Uint8Array(text.length);
    for (let k = 0; k < text.length; k++) array[k] = text.charCodeAt(k);
    bytes.set(i, Promise.resolve(array.buffer));
  }
  return (await bytes.get(i)).slice(0);
}

// One context for each rate the loops have, each note played in the one
// at its own rate: decoded anywhere else, its frames would be resampled
// and its loop points would fall between them.
const contexts = new Map();
function context(rate) {
  if (!contexts.has(rate)) contexts.set(rate, new AudioContext({ sampleRate: rate }));
  return contexts.get(rate);
}
const decoded = new Map();
function bufferOf(i) {
  if (!decoded.has(i)) decoded.set(i, bytesOf(i).then((b) => context(loops[i].rate).decodeAudioData(b)));
  return decoded.get(i);
}
function looping(ac, buffer, loop, rate) {
  return new AudioBufferSourceNode(ac, {
    buffer, loop: true, loopStart: loop.start / loop.rate, loopEnd: loop.end / loop.rate, playbackRate: rate || 1,
  });
}

// The note with its loop until stopped; then the loop lets go and the
// rest of the sample, its release, plays out.
const playing = new Map();
async function play(i, button) {
  const ac = context(loops[i].rate);
  await ac.resume();
  if (playing.has(i)) {
    playing.get(i).loop = false;
    playing.delete(i);
    button.textContent = "Play";
    return;
  }
  const source = looping(ac, await bufferOf(i), loops[i]);
  source.connect(ac.destination);
  source.start();
  playing.set(i, source);
  button.textContent = "Stop";
  source.onended = () => {
    if (playing.get(i) === source) playing.delete(i);
    if (!playing.has(i)) button.textContent = "Play";
  };
}

// The seam alone: the last half second of the loop into its first half
// second, over and over, each pass faded in and out at its ends only.
const seams = new Map();
async function seam(i, button) {
  const ac = context(loops[i].rate);
  await ac.resume();
  if (seams.has(i)) {
    const s = seams.get(i);
    clearInterval(s.timer);
    s.sources.forEach((n) => n.stop());
    seams.delete(i);
    button.textContent = "Seam";
    return;
  }
  const loop = loops[i];
  const buffer = await bufferOf(i);
  const start = loop.start / loop.rate;
  const end = loop.end / loop.rate;
  const half = Math.min(0.5, (end - start) / 2);
  const fade = Math.min(0.01, half / 4);
  const state = { sources: [], next: ac.currentTime + 0.05, timer: 0 };
  const schedule = () => {
    while (state.next < ac.currentTime + 1.5) {
      const t = state.next;
      const source = looping(ac, buffer, loop);
      const gain = new GainNode(ac, { gain: 0 });
      source.connect(gain).connect(ac.destination);
      gain.gain.setValueAtTime(0, t);
      gain.gain.linearRampToValueAtTime(1, t + fade);
      gain.gain.setValueAtTime(1, t + 2 * half - fade);
      gain.gain.linearRampToValueAtTime(0, t + 2 * half);
      source.start(t, end - half);
      source.stop(t + 2 * half);
      state.sources.push(source);
      source.onended = () => state.sources.splice(state.sources.indexOf(source), 1);
      state.next = t + 2 * half + 0.15;
    }
  };
  schedule();
  state.timer = setInterval(schedule, 250);
  seams.set(i, state);
  button.textContent = "Stop";
}

document.querySelectorAll("button[data-play]").forEach((b) =>
  b.addEventListener("click", () => play(Number(b.dataset.play), b).catch(fail)));
document.querySelectorAll("button[data-seam]").forEach((b) =>
  b.addEventListener("click", () => seam(Number(b.dataset.seam), b).catch(fail)));

// An instrument: keys as the SFZ maps them, the sample pitched from its
// root and tuned; on release the loop lets go and the envelope falls as
// the SFZ's ampeg_release says.
const zoned = loops.filter((l) => l.zone);
if (zoned.length) {
  const voices = new Map();
  const lowest = Math.min(...zoned.map((l) => l.zone.lo));
  const highest = Math.max(...zoned.map((l) => l.zone.hi));
  const find = (key, velocity) => loops.findIndex((l) => l.zone && key >= l.zone.lo && key <= l.zone.hi &&
                                                         velocity >= l.zone.lovel && velocity <= l.zone.hivel);
  const keyOf = new Map();
  async function noteOn(key, velocity) {
    if (voices.has(key)) return;
    const i = find(key, velocity);
    if (i < 0) return;
    const loop = loops[i];
    const ac = context(loop.rate);
    await ac.resume();
    const rate = Math.pow(2, (key - loop.root) / 12 + loop.tune / 1200);
    const source = looping(ac, await bufferOf(i), loop, rate);
    const gain = new GainNode(ac, { gain: 1 });
    source.connect(gain).connect(ac.destination);
    source.start();
    voices.set(key, { source, gain, loop, ac });
    const el = keyOf.get(key);
    if (el) el.classList.add("down");
  }
  function noteOff(key) {
    const voice = voices.get(key);
    if (!voice) return;
    voices.delete(key);
    const t = voice.ac.currentTime;
    voice.source.loop = false;
    voice.gain.gain.setValueAtTime(1, t);
    voice.gain.gain.setTargetAtTime(0, t, Math.max(0.005, voice.loop.release / 6.9));
    voice.source.stop(t + voice.loop.release + 0.05);
    const el = keyOf.get(key);
    if (el) el.classList.remove("down");
  }
  const board = document.getElementById("keyboard");
  const black = (k) => [1, 3, 6, 8, 10].includes(k % 12);
  const whites = [];
  for (let k = lowest; k <= highest; k++) if (!black(k)) whites.push(k);
  const width = 100 / Math.max(1, whites.length);
  let w = 0;
  for (let k = lowest; k <= highest; k++) {
    const el = document.createElement("div");
    el.className = black(k) ? "black" : "white";
    if (find(k, 64) < 0 && find(k, 127) < 0) el.classList.add("none");
    if (black(k)) {
      el.style.left = (w * width - width * 0.3) + "%";
      el.style.width = (width * 0.6) + "%";
    } else {
      el.style.left = (w * width) + "%";
      el.style.width = width + "%";
      w++;
    }
    el.title = "key " + k;
    const velocity = (e) => {
      const r = el.getBoundingClientRect();
      return Math.max(1, Math.min(127, Math.round(1 + 126 * (e.clientY - r.top) / r.height)));
    };
    el.addEventListener("pointerdown", (e) => { el.setPointerCapture(e.pointerId); noteOn(k, velocity(e)).catch(fail); });
    el.addEventListener("pointerup", () => noteOff(k));
    el.addEventListener("pointercancel", () => noteOff(k));
    keyOf.set(k, el);
    board.appendChild(el);
  }
  // The computer keyboard: A W S E D F T G Y H U J K O L P from C, Z and X
  // an octave down and up.
  const letters = "awsedftgyhujkolp";
  let octave = Math.max(0, Math.floor(((lowest + highest) / 2) / 12) * 12);
  const help = document.getElementById("keys-help");
  const say = () => { help.textContent = "Computer keys A W S E D F T G Y H U J K O L P play from key " + octave +
                      "; Z and X move an octave."; };
  say();
  const held = new Map();
  window.addEventListener("keydown", (e) => {
    if (e.repeat || e.ctrlKey || e.metaKey || e.altKey) return;
    const k = e.key.toLowerCase();
    if (k === "z") { octave = Math.max(0, octave - 12); say(); return; }
    if (k === "x") { octave = Math.min(120, octave + 12); say(); return; }
    const at = letters.indexOf(k);
    if (at < 0) return;
    held.set(k, octave + at);
    noteOn(octave + at, 100).catch(fail);
  });
  window.addEventListener("keyup", (e) => {
    const k = e.key.toLowerCase();
    if (held.has(k)) { noteOff(held.get(k)); held.delete(k); }
  });
}

// The loop a file marks for samplers: a WAV's smpl chunk, a FLAC's
// LOOPSTART and LOOPLENGTH comments; [0, frames) for a file that marks none;
// null where the page cannot tell (other formats).
function pointsIn(buffer, frames) {
  const v = new DataView(buffer);
  const tag = (at) => String.fromCharCode(v.getUint8(at), v.getUint8(at + 1), v.getUint8(at + 2), v.getUint8(at + 3));
  if (v.byteLength >= 12 && tag(0) === "RIFF" && tag(8) === "WAVE") {
    for (let at = 12; at + 8 <= v.byteLength; ) {
      const size = v.getUint32(at + 4, true);
      if (tag(at) === "smpl" && size >= 60 && v.getUint32(at + 8 + 28, true) > 0) {
        return [v.getUint32(at + 8 + 44, true), v.getUint32(at + 8 + 48, true) + 1];
      }
      at += 8 + size + (size & 1);
    }
    return [0, frames];
  }
  if (v.byteLength >= 4 && tag(0) === "fLaC") {
    const found = {};
    for (let at = 4, last = false; !last && at + 4 <= v.byteLength; ) {
      const head = v.getUint8(at);
      const size = (v.getUint8(at + 1) << 16) | (v.getUint8(at + 2) << 8) | v.getUint8(at + 3);
      last = (head & 0x80) !== 0;
      if ((head & 0x7f) === 4) {
        let p = at + 4;
        p += 4 + v.getUint32(p, true);
        const count = v.getUint32(p, true);
        p += 4;
        for (let k = 0; k < count; k++) {
          const length = v.getUint32(p, true);
          const text = new TextDecoder().decode(new Uint8Array(buffer, p + 4, length));
          const eq = text.indexOf("=");
          found[text.slice(0, eq).toUpperCase()] = text.slice(eq + 1);
          p += 4 + length;
        }
      }
      at += 4 + size;
    }
    if ("LOOPSTART" in found && "LOOPLENGTH" in found) {
      return [Number(found.LOOPSTART), Number(found.LOOPSTART) + Number(found.LOOPLENGTH)];
    }
    return [0, frames];
  }
  return null;
}

// #selftest: each loop rendered offline at its own rate, well past its
// wrap, against the file's frames at the loop points, which must be the
// points the file marks.
async function selftest() {
  const out = document.getElementById("selftest");
  out.hidden = false;
  out.textContent = "running";
  const lines = [];
  let exact = 0;
  for (let i = 0; i < loops.length; i++) {
    const loop = loops[i];
    try {
      const span = Math.min(loop.end - loop.start, 4096);
      const length = loop.end + span;
      const offline = new OfflineAudioContext(loop.channels, length, loop.rate);
      const raw = await bytesOf(i);
      const marked = pointsIn(raw, loop.frames);
      if (marked && (marked[0] !== loop.start || marked[1] !== loop.end)) {
        lines.push(loop.name + ": the file marks frames " + marked[0] + " to " + (marked[1] - 1) +
                   ", the page loops " + loop.start + " to " + (loop.end - 1));
        continue;
      }
      const buffer = await offline.decodeAudioData(raw);
      // A lossy file's decoders may disagree on its first and last frames.
      if (buffer.length !== loop.frames && (loop.mime === "audio/wav" || loop.mime === "audio/flac")) {
        lines.push(loop.name + ": the browser decodes " + buffer.length + " frames, the file holds " + loop.frames);
        continue;
      }
      // What the buttons and keys play: the buffer decoded where they play it.
      const live = await bufferOf(i);
      if (live.sampleRate !== loop.rate || live.length !== buffer.length) {
        lines.push(loop.name + ": played at " + live.sampleRate + " Hz over " + live.length + " frames, the file is " +
                   loop.rate + " Hz over " + buffer.length);
        continue;
      }
      const source = looping(offline, buffer, loop);
      source.connect(offline.destination);
      source.start(0);
      const rendered = await offline.startRendering();
      let differ = 0;
      let first = -1;
      for (let c = 0; c < loop.channels; c++) {
        const r = rendered.getChannelData(c);
        const b = buffer.getChannelData(c);
        for (let k = loop.end - span; k < length; k++) {
          const want = k < loop.end ? b[k] : b[loop.start + k - loop.end];
          if (r[k] !== want) {
            differ++;
            if (first < 0) first = k;
          }
        }
      }
      if (differ === 0) {
        exact++;
        lines.push(loop.name + ": the wrap from frame " + (loop.end - 1) + " to " + loop.start + " plays the file's frames exactly");
      } else {
        lines.push(loop.name + ": " + differ + " rendered samples differ from the file's, the first at frame " + first);
      }
    } catch (e) {
      lines.push(loop.name + ": " + e);
    }
  }
  const pass = exact === loops.length && errors.length === 0;
  out.dataset.result = pass ? "pass" : "fail";
  out.textContent = (pass ? "PASS" : "FAIL") + ": " + exact + " of " + loops.length + " loops wrap exactly\n" +
                    lines.join("\n");
}
if (location.hash === "#selftest") selftest().catch(fail);
</script>
)JS";

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string noteText(double note) {
    const long key = std::lround(note);
    char cents[32];
    std::snprintf(cents, sizeof cents, "%+.1f", (note - static_cast<double>(key)) * 100.0);
    return noteNameOf(static_cast<int>(key)) + " " + cents + " cents";
}

std::string dataOf(const std::vector<AuditionLoop>& loops) {
    std::string json = "[";
    for (std::size_t i = 0; i < loops.size(); ++i) {
        const AuditionLoop& l = loops[i];
        json += (i > 0 ? ",\n" : "\n");
        // Inside a script element: every string is written so that none can end it.
        json += "{\"name\": " + quoteJsonForScript(l.name) + ", \"mime\": " + quoteJsonForScript(l.mimeType) +
                ", \"rate\": " + std::to_string(l.sampleRate) + ", \"channels\": " + std::to_string(l.channels) +
                ", \"frames\": " + std::to_string(l.frames) + ", \"start\": " + std::to_string(l.loopStart) +
                ", \"end\": " + std::to_string(l.loopEnd);
        if (l.zone) {
            json += ", \"zone\": {\"lo\": " + std::to_string(l.zone->lowKey) + ", \"hi\": " +
                    std::to_string(l.zone->highKey) + ", \"lovel\": " + std::to_string(l.zone->lowVelocity) +
                    ", \"hivel\": " + std::to_string(l.zone->highVelocity) + "}, \"root\": " + std::to_string(l.root) +
                    ", \"tune\": " + std::to_string(l.tuneCents) + ", \"release\": " + fixed(l.releaseSeconds, 3);
        }
        json += "}";
    }
    return json + "\n]";
}

std::string verdictClass(const std::string& verdict) {
    return verdict == "smooth" ? "smooth" : verdict == "likely click" ? "click" : verdict == "level jump" ? "jump" : "unjudged";
}

std::string rowOf(std::size_t i, const AuditionLoop& l) {
    std::string svg = l.svg;
    if (svg.rfind("<?xml", 0) == 0) {
        svg.erase(0, svg.find('\n') + 1); // inline, the picture needs no prolog
    }
    std::string rules;
    for (const std::string& rule : l.rules) {
        rules += (rules.empty() ? "" : ", ") + rule;
    }
    const std::string index = std::to_string(i);
    std::string row = "<tr id=\"loop-" + index + "\"><td>" + escapeXml(l.name) + "</td><td>" +
                      (l.midiNote ? noteText(*l.midiNote) : "no pitch") + "</td><td>" +
                      std::to_string(l.loopStart) + " to " + std::to_string(l.loopEnd - 1) + "<br>" +
                      std::to_string(l.loopEnd - l.loopStart) + " frames, " +
                      fixed(static_cast<double>(l.loopEnd - l.loopStart) / l.sampleRate, 3) + " s</td>";
    if (l.zone) {
        row += "<td>keys " + std::to_string(l.zone->lowKey) + " to " + std::to_string(l.zone->highKey) +
               "<br>velocity " + std::to_string(l.zone->lowVelocity) + " to " + std::to_string(l.zone->highVelocity) +
               "</td>";
    }
    row += "<td class=\"" + verdictClass(l.verdict) + "\">" + escapeXml(l.verdict) +
           (rules.empty() ? "" : "<br>fired: " + escapeXml(rules)) + "</td><td><button data-play=\"" + index +
           "\">Play</button><button data-seam=\"" + index + "\">Seam</button></td><td><details><summary>seam picture</summary>" +
           svg + "</details></td></tr>\n";
    return row;
}

// The file's bytes as base64, read and encoded a block at a time (whole
// groups of three bytes, so that the blocks' texts join up), so that a page
// of tens of megabytes is never held whole.
int embedFile(int out, const AuditionLoop& loop, std::string& error) {
    const std::string& path = loop.audioFile;
    const FileDescriptor in(loop.audioFd >= 0 ? ::dup(loop.audioFd) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) {
        error = path + ": " + systemErrorText(errno);
        return errno;
    }
    off_t offset = 0;
    std::vector<unsigned char> block(3 * 65536);
    std::size_t held = 0; // bytes of `block` read and not yet encoded
    for (;;) {
        const ssize_t got = ::pread(in.get(), block.data() + held, block.size() - held, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = path + ": " + systemErrorText(errno);
            return errno;
        }
        held += static_cast<std::size_t>(got);
        offset += got;
        const bool last = got == 0;
        const std::size_t whole = last ? held : held - held % 3;
        const TagLib::ByteVector text =
            TagLib::ByteVector(reinterpret_cast<const char*>(block.data()), static_cast<unsigned>(whole)).toBase64();
        if (const int failed = writeAll(out, text.data(), text.size()); failed != 0) {
            error = systemErrorText(failed);
            return failed;
        }
        std::copy(block.begin() + static_cast<std::ptrdiff_t>(whole), block.begin() + static_cast<std::ptrdiff_t>(held),
                  block.begin());
        held -= whole;
        if (last) {
            return 0;
        }
    }
}

} // namespace

std::optional<std::string> browserMimeType(int format) {
    const int container = format & SF_FORMAT_TYPEMASK;
    const int encoding = format & SF_FORMAT_SUBMASK;
    switch (container) {
    case SF_FORMAT_WAV:
        return encoding == SF_FORMAT_PCM_U8 || encoding == SF_FORMAT_PCM_16 || encoding == SF_FORMAT_PCM_24 ||
                       encoding == SF_FORMAT_PCM_32 || encoding == SF_FORMAT_FLOAT
                   ? std::optional<std::string>("audio/wav")
                   : std::nullopt;
    case SF_FORMAT_FLAC:
        return std::string("audio/flac");
    case SF_FORMAT_OGG:
        return std::string("audio/ogg");
    case SF_FORMAT_MPEG:
        return std::string("audio/mpeg");
    default:
        return std::nullopt;
    }
}

std::optional<std::string> writeAuditionPage(int fd, const std::string& title, const std::vector<AuditionLoop>& loops,
                                             bool instrument, const std::string& madeBy) {
    std::string head = "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
                       escapeXml(title) + "</title>\n" + kStyle + "</head>\n<body>\n<h1>" + escapeXml(title) +
                       "</h1>\n<p class=\"by\">" + std::to_string(loops.size()) + (loops.size() == 1 ? " loop" : " loops") +
                       ", made by " + escapeXml(madeBy) +
                       ". Play repeats the loop until stopped, then lets the note play out; Seam plays the last half "
                       "second of the loop into its first, over and over.</p>\n";
    if (instrument) {
        head += "<div id=\"keyboard\"></div>\n<p id=\"keys-help\"></p>\n";
    }
    head += "<table>\n<thead><tr><th>Loop</th><th>Note</th><th>Loop frames</th>" +
            std::string(instrument ? "<th>Plays</th>" : "") +
            "<th>Seam</th><th></th><th></th></tr></thead>\n<tbody>\n";
    for (std::size_t i = 0; i < loops.size(); ++i) {
        head += rowOf(i, loops[i]);
    }
    head += "</tbody>\n</table>\n<pre id=\"selftest\" hidden></pre>\n<pre id=\"errors\" hidden></pre>\n"
            "<script type=\"application/json\" id=\"loops\">" +
            dataOf(loops) + "</script>\n";
    std::string error;
    if (const int failed = writeAll(fd, head.data(), head.size()); failed != 0) {
        return systemErrorText(failed);
    }
    for (std::size_t i = 0; i < loops.size(); ++i) {
        const std::string open = "<script type=\"application/octet-stream\" id=\"audio-" + std::to_string(i) + "\">";
        const std::string close = "</script>\n";
        if (int failed = writeAll(fd, open.data(), open.size()); failed != 0) {
            return systemErrorText(failed);
        }
        if (embedFile(fd, loops[i], error) != 0) {
            return error;
        }
        if (int failed = writeAll(fd, close.data(), close.size()); failed != 0) {
            return systemErrorText(failed);
        }
    }
    const std::string tail = std::string(kScript) + "</body>\n</html>\n";
    if (const int failed = writeAll(fd, tail.data(), tail.size()); failed != 0) {
        return systemErrorText(failed);
    }
    return std::nullopt;
}

} // namespace sorvane
