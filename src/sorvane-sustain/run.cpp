#include "sorvane-sustain/run.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <sys/stat.h>

#include "audio_io/audio_io.hpp"
#include "files/file_descriptor.hpp"
#include "audio_io/output_target.hpp"
#include "cli/options.hpp"
#include "cli/out_of_memory_status.hpp"
#include "cli/report.hpp"
#include "escape/escape.hpp"
#include "metadata/loop_points.hpp"
#include "seam/written_seam.hpp"
#include "sustain/looped_note.hpp"
#include "sustain/sustain_loop.hpp"

namespace sorvane {

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;

const char* const kUsage = " [options] IN OUT";

struct Options {
    NoteRequest note;
    std::optional<std::string> sfz;
};

void printHelp(std::ostream& out, const std::string& name) {
    out << "Usage: " << name << kUsage << "\n"
        << "Keeps the attack of the note IN, finds a seamless loop in its sustain and\n"
        << "writes the whole note to OUT, in the format OUT's name names (else IN's),\n"
        << "with the loop points where samplers read them (WAV, RF64, AIFF, FLAC, Ogg\n"
        << "Vorbis and Ogg Opus).\n"
        << "\n"
        << "  --start SECONDS       the sustain begins here (else where the level settles)\n"
        << "  --end SECONDS         the sustain ends here (else where the release begins)\n"
        << "  --min-length SECONDS  shortest loop (default 1 s, or half the note if less)\n"
        << "  --crossfade MS        blend at the seam when it needs one (default 30 ms)\n"
        << "  --no-crossfade        never blend: every frame stays as read\n"
        << "  --flatten             bring the loop's end to its start's level by a smooth gain\n"
        << "  --sfz FILE            also write an SFZ instrument that plays the loop\n"
        << "  --quality Q           a lossy note encoded anew: Vorbis quality -1 to 10,\n"
        << "                        Opus kbit/s 6 to 510, MP3 VBR level 0 (finest) to 9\n"
        << "                        (default: no lower than a lossy input's rate; from a\n"
        << "                        lossless one Vorbis 6, Opus 64 a channel, MP3 2)\n"
        << "  -h, --help            show this help and exit\n"
        << "  --version             show the version and exit\n"
        << "\n"
        << "Exit status: 0 when the note, its loop and the report were written,\n"
        << "1 otherwise.\n";
}

std::optional<Options> parseOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                                    int& status) {
    const CommandLineConventions conventions{"sorvane-sustain", kUsage, printHelp, kFailure};
    const std::optional<ParsedCommandLine> parsed = parseCommandLine(
        argc, argv,
        {{"start", '\0', true}, {"end", '\0', true}, {"min-length", '\0', true}, {"crossfade", '\0', true},
         {"no-crossfade"}, {"flatten"}, {"sfz", '\0', true}, {"quality", '\0', true}},
        conventions, out, err, status);
    if (!parsed) {
        return std::nullopt;
    }
    auto usageError = [&](const std::string& message) {
        return refuseCommandLine(message, argc, argv, conventions, err, status);
    };
    Options options;
    for (const ParsedOption& option : parsed->options) {
        const std::string flag = "--" + option.name;
        if (option.name == "no-crossfade") {
            options.note.crossfade = false;
            continue;
        }
        if (option.name == "flatten") {
            options.note.flatten = true;
            continue;
        }
        if (option.name == "sfz") {
            options.sfz = option.value;
            continue;
        }
        if (option.name == "quality") {
            options.note.quality = option.value;
            continue;
        }
        const std::optional<double> amount = parseNonNegative(option.value);
        if (!amount || (option.name != "start" && *amount == 0.0)) {
            return usageError("Error: " + flag + " takes a number" +
                              (option.name == "start" ? " of 0 or more" : " greater than 0") + ", not \"" +
                              option.value + "\".\n");
        }
        (option.name == "start"        ? options.note.startSeconds
         : option.name == "end"        ? options.note.endSeconds
         : option.name == "min-length" ? options.note.shortestSeconds
                                       : options.note.crossfadeMs) = amount;
    }
    const std::vector<std::string>& files = parsed->operands;
    if (files.size() != 2) {
        return usageError(files.size() > 2 ? "Error: give one input and one output.\n" : "");
    }
    const NoteRequest& note = options.note;
    if (note.startSeconds && note.endSeconds && *note.endSeconds <= *note.startSeconds) {
        return usageError("Error: --end must come after --start.\n");
    }
    options.note.input = files[0];
    options.note.output = files[1];
    return options;
}

std::string fixed(double value, int decimals, bool sign = false) {
    char text[64];
    std::snprintf(text, sizeof text, sign ? "%+.*f" : "%.*f", decimals, value);
    return text;
}

std::string secondsOf(std::size_t frames, int sampleRate) {
    return fixed(static_cast<double>(frames) / static_cast<double>(sampleRate), 3) + " s";
}

std::optional<FileIdentity> identityOfPath(const std::string& path) {
    struct stat st {};
    if (path == "-" || stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return identityOf(st);
}

// A small SFZ instrument: the loop plays while the key is held, the rest of
// the note after it on release; the sample is named relative to the SFZ.
std::string sfzOfNote(const Options& options, const LoopedNote& looped) {
    const SustainLoop& loop = looped.loop;
    namespace fs = std::filesystem;
    const fs::path sfzFolder = fs::absolute(*options.sfz).parent_path();
    const fs::path sample = fs::absolute(options.note.output).lexically_relative(sfzFolder);
    std::string text = "// made by sorvane-sustain from " + sfzText(options.note.input) + "\n<region>\nsample=" +
                       sfzText(sample.empty() ? options.note.output : sample.generic_string()) + "\n";
    if (loop.pitch.pitched) {
        const double note = midiNoteOf(loop.frequency);
        const long key = std::lround(note);
        text += "pitch_keycenter=" + std::to_string(key) + "\n";
        text += "tune=" + std::to_string(-std::lround((note - static_cast<double>(key)) * 100.0)) + "\n";
    }
    // In the frames of the file as written, which a codec may carry at another rate.
    text += "loop_mode=loop_sustain loop_start=" + std::to_string(looped.fileLoop.start) +
            " loop_end=" + std::to_string(looped.fileLoop.end - 1) + "\n";
    return text;
}

// Writes the SFZ text through a target opened before the note was written,
// so that a path that cannot be written is found before anything is.
bool writeSfz(const Options& options, OutputTarget& target, const LoopedNote& note, std::ostream& err) {
    const std::string text = sfzOfNote(options, note);
    const int error = writeAll(target.fd(), text.data(), text.size());
    const std::optional<std::string> failure =
        error != 0 ? std::optional<std::string>(systemErrorText(error)) : target.commit();
    if (failure) {
        err << "Error writing SFZ file " << *options.sfz << ": " << *failure << "\n";
        return false;
    }
    return true;
}

// Whether two paths name the same file, existing or not yet made: by
// identity, and by where they lead once links and "./" are resolved.
bool sameFile(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    const std::optional<FileIdentity> first = identityOfPath(a);
    if (first && first == identityOfPath(b)) {
        return true;
    }
    std::error_code ignored;
    const fs::path left = fs::weakly_canonical(fs::absolute(a), ignored);
    return !left.empty() && left == fs::weakly_canonical(fs::absolute(b), ignored);
}

// How a lossy note was written, in the codec's own terms.
std::string encodingOf(const LoopedNote& note) {
    const EncoderSettings& e = *note.encodedWith;
    std::string text = "encoded anew";
    if (e.vorbisQuality) {
        text += " as Ogg Vorbis at quality " + fixed(*e.vorbisQuality, 1);
    } else if (e.opusKbps) {
        text += " as Ogg Opus at " + std::to_string(*e.opusKbps) + " kbit/s";
    } else if (e.mp3Kbps) {
        text += " as MP3 at " + std::to_string(*e.mp3Kbps) + " kbit/s";
    } else if (e.mp3VbrLevel) {
        text += " as MP3 at VBR level " + std::to_string(*e.mp3VbrLevel);
    }
    if (note.fileRate != note.input.samplerate) {
        text += "; resampled from " + std::to_string(note.input.samplerate) + " Hz to " +
                std::to_string(note.fileRate) + " Hz, the loop at frames " + std::to_string(note.fileLoop.start) +
                " to " + std::to_string(note.fileLoop.end - 1) + " of the file";
    }
    return text;
}

void printReport(std::ostream& out, const Options& options, const LoopedNote& looped) {
    const SustainLoop& loop = looped.loop;
    const int sampleRate = looped.input.samplerate;
    const bool keptPackets = looped.keptPackets;
    const std::optional<SeamJudgement>& heard = looped.heard;
    const FrameSpan& l = loop.loop;
    out << "Input:     " << options.note.input << "\n"
        << "Output:    " << options.note.output << "\n"
        << "Sustain:   " << secondsOf(loop.region.start, sampleRate) << " to " << secondsOf(loop.region.end, sampleRate)
        << "\n";
    if (loop.pitch.pitched) {
        const double note = midiNoteOf(loop.frequency);
        const long key = std::lround(note);
        out << "Pitch:     " << noteNameOf(static_cast<int>(key)) << " "
            << fixed((note - static_cast<double>(key)) * 100.0, 1, true) << " cents (" << fixed(loop.frequency, 2)
            << " Hz, period " << fixed(loop.pitch.period, 6) << " frames)\n";
    } else {
        // A file's unity note cannot be left out: it keeps the default that
        // claims nothing, and the SFZ names no key.
        out << "Pitch:     none found (loop chosen by waveform alone; no unity note claimed: the SFZ has no "
               "pitch_keycenter, the file middle C, the samplers' default)\n";
    }
    out << "Loop:      frames " << l.start << " to " << l.end - 1 << " (" << secondsOf(l.start, sampleRate) << " to "
        << secondsOf(l.end, sampleRate) << "), " << l.size() << " frames, " << secondsOf(l.size(), sampleRate);
    if (loop.periods > 0) {
        out << ", " << loop.periods << " periods, " << fixed(loop.detuneCents, 4, true) << " cents";
    }
    out << "\n"
        << "Loudness:  " << fixed(loop.loudnessChangeDb, 2, true) << " dB from the loop's start to its end\n";
    if (options.note.flatten) {
        out << "Flatten:   " << fixed(loop.flattenDb, 2, true)
            << " dB across the loop, and the rest of the note after it by the same";
        if (loop.lowerDb < 0.0) {
            out << "; the whole note " << fixed(loop.lowerDb, 2, true) << " dB so that it stays within full scale";
        }
        out << "\n";
    }
    if (loop.crossfadeFrames() > 0) {
        out << "Crossfade: " << loop.crossfadeFrames() << " frames ("
            << fixed(1000.0 * static_cast<double>(loop.crossfadeFrames()) / sampleRate, 1)
            << " ms), correlation " << fixed(loop.crossfadeCorrelation, 2) << "\n";
    } else {
        out << "Crossfade: none"
            << (!options.note.crossfade ? " (--no-crossfade)" : " (the seam is smooth as found)")
            << "\n";
    }
    out << "Seam:      ";
    if (heard && brokeTheSeam(loop.seam, *heard)) {
        out << verdictText(heard->verdict) << " as written (smooth as built: encoding it broke the seam)\n";
    } else {
        out << verdictText(loop.seam.verdict)
            << (loop.seam.verdict == SeamVerdict::Smooth && !loop.smoothWithMargin() ? " (barely)" : "") << "\n";
    }
    if (keptPackets) {
        out << "Encoding:  the note's packets kept as they were (its loop is seamless without a blend)\n";
    } else if (looped.encodedWith) {
        out << "Encoding:  " << encodingOf(looped) << "\n";
    }
    out
        << "SFZ:       loop_mode=loop_sustain loop_start=" << looped.fileLoop.start
        << " loop_end=" << looped.fileLoop.end - 1 << "\n";
}

int run(const Options& options, std::ostream& out, std::ostream& err) {
    const std::string& in = options.note.input;
    if (options.note.output == "-") {
        err << "Error: the loop points need a file; standard output cannot be read back.\n";
        return kFailure;
    }
    auto sfzIsASoundFile = [&](const std::optional<FileIdentity>& input) {
        const std::optional<FileIdentity> sfz = identityOfPath(*options.sfz);
        if ((sfz && sfz == input) || sameFile(*options.sfz, options.note.output) ||
            (in != "-" && sameFile(*options.sfz, in))) {
            err << "Error: SFZ file " << *options.sfz << " is one of the sound files; choose another name.\n";
            return true;
        }
        return false;
    };
    if (options.sfz && sfzIsASoundFile(std::nullopt)) {
        return kFailure;
    }
    const NoteRequest& request = options.note;
    // The SFZ is opened before the note is written, so that a path that
    // cannot be written is found before anything is.
    OutputTarget sfz;
    const std::optional<LoopedNote> note = loopNoteFile(request, err, [&](const LoopedNote& found) {
        if (!options.sfz) {
            return true;
        }
        if (sfzIsASoundFile(found.inputIdentity)) {
            return false;
        }
        if (const std::optional<std::string> failure = sfz.open(*options.sfz, std::nullopt)) {
            err << "Error writing SFZ file " << *options.sfz << ": " << *failure << " Nothing was written.\n";
            return false;
        }
        return true;
    });
    if (!note) {
        return kFailure;
    }
    if (options.sfz && !writeSfz(options, sfz, *note, err)) {
        return kFailure;
    }
    printReport(out, options, *note);
    return flushReport(out, err) ? kSuccess : kFailure;
}

} // namespace

int runSustain(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    int status = kFailure;
    const std::optional<Options> options = parseOptions(argc, argv, out, err, status);
    if (!options) {
        return status;
    }
    return whenMemoryRunsOut(kFailure, err, notEnoughMemoryFor(options->note.input),
                             [&] { return run(*options, out, err); });
}

} // namespace sorvane
