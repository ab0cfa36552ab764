#include "sorvane-instrument/run.hpp"

#include "sorvane-instrument/instrument_folder.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "files/file_descriptor.hpp"
#include "audio_io/output_target.hpp"
#include "audio_io/sndfile_handle.hpp"
#include "audition/audition_page.hpp"
#include "cli/options.hpp"
#include "cli/out_of_memory_status.hpp"
#include "cli/report.hpp"
#include "escape/escape.hpp"
#include "instrument/instrument.hpp"
#include "instrument/instrument_json.hpp"
#include "instrument/key_map.hpp"
#include "instrument/note_names.hpp"
#include "instrument/sf2_writer.hpp"
#include "instrument/sfz_writer.hpp"
#include "loops/loop_builders.hpp"
#include "seam/seam_judge.hpp"
#include "seam/seam_picture.hpp"
#include "sustain/looped_note.hpp"
#include "sustain/pitch.hpp"

namespace sorvane {

namespace {

namespace fs = std::filesystem;

constexpr int kAllIn = 0;
constexpr int kLeftOut = 1;
constexpr int kTrouble = 2;

const char* const kUsage = " [options] -o DIR NOTE...";
// A file name takes 255 bytes, NAME.json five of them.
constexpr std::size_t kLongestName = 250;
const std::string kMadeBy = std::string("sorvane-instrument ") + SORVANE_VERSION;

struct Options {
    std::string folder;
    std::optional<std::string> name;
    bool wav = false;
    unsigned jobs = 0; // all cores
    bool quiet = false;
    NoteRequest loop; // how each note is looped; its files are each note's own
    std::vector<std::string> notes;
};

void printHelp(std::ostream& out, const std::string& name) {
    out << "Usage: " << name << kUsage << "\n"
        << "Loops each recorded NOTE (a file, or a folder of them) as sorvane-sustain does\n"
        << "and makes of them an instrument in DIR: samples/, NAME.sfz, NAME.sf2,\n"
        << "NAME.json and index.html, a page to hear every loop.\n"
        << "\n"
        << "  -o, --output DIR      the instrument's folder (made if missing)\n"
        << "  --name NAME           the instrument's name (default: DIR's name)\n"
        << "  --format flac|wav     the samples' format (default flac, each note's resolution)\n"
        << "  -j, --jobs N          notes looped at once (default: every core)\n"
        << "  -q, --quiet           no progress and no summary\n"
        << "  --min-length SECONDS  shortest loop (default 1 s, or half the note if less)\n"
        << "  --crossfade MS        blend at the seam when it needs one (default 30 ms)\n"
        << "  --no-crossfade        never blend: every frame stays as read\n"
        << "  --flatten             bring each loop's end to its start's level by a smooth gain\n"
        << "  -h, --help            show this help and exit\n"
        << "  --version             show the version and exit\n"
        << "\n"
        << "Exit status: 0 when every note is in the instrument, 1 when any is left\n"
        << "out (the rest is built), 2 on trouble (the command line, the folder).\n";
}

std::optional<Options> parseOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                                    int& status) {
    const CommandLineConventions conventions{"sorvane-instrument", kUsage, printHelp, kTrouble};
    const std::optional<ParsedCommandLine> parsed = parseCommandLine(
        argc, argv,
        {{"output", 'o', true}, {"name", '\0', true}, {"format", '\0', true}, {"jobs", 'j', true}, {"quiet", 'q'},
         {"min-length", '\0', true}, {"crossfade", '\0', true}, {"no-crossfade"}, {"flatten"}},
        conventions, out, err, status);
    if (!parsed) {
        return std::nullopt;
    }
    auto usageError = [&](const std::string& message) {
        return refuseCommandLine(message, argc, argv, conventions, err, status);
    };
    Options options;
    for (const ParsedOption& option : parsed->options) {
        const std::string& v = option.value;
        if (option.name == "output") {
            options.folder = v;
        } else if (option.name == "name") {
            const bool control = std::any_of(v.begin(), v.end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
            });
            if (v.empty() || v.find('/') != std::string::npos || control || v == "." || v == "..") {
                return usageError("Error: --name takes a name without '/' or control characters, not " +
                                  quoteJson(v) + ".\n");
            }
            if (v.size() > kLongestName) {
                return usageError("Error: --name takes a name of at most " + std::to_string(kLongestName) +
                                  " bytes, so that NAME.json fits a file name.\n");
            }
            options.name = v;
        } else if (option.name == "format") {
            if (v != "flac" && v != "wav") {
                return usageError("Error: --format takes flac or wav, not \"" + v + "\".\n");
            }
            options.wav = v == "wav";
        } else if (option.name == "jobs") {
            const std::optional<double> n = parseNonNegative(v);
            if (!n || *n < 1.0 || *n > 1024.0 || *n != std::floor(*n)) {
                return usageError("Error: --jobs takes a whole number from 1 to 1024, not \"" + v + "\".\n");
            }
            options.jobs = static_cast<unsigned>(*n);
        } else if (option.name == "quiet") {
            options.quiet = true;
        } else if (option.name == "no-crossfade") {
            options.loop.crossfade = false;
        } else if (option.name == "flatten") {
            options.loop.flatten = true;
        } else {
            const std::optional<double> amount = parseNonNegative(v);
            if (!amount || *amount == 0.0) {
                return usageError("Error: --" + option.name + " takes a number greater than 0, not \"" + v + "\".\n");
            }
            (option.name == "min-length" ? options.loop.shortestSeconds : options.loop.crossfadeMs) = amount;
        }
    }
    if (options.folder.empty()) {
        return usageError("Error: name the instrument's folder with -o DIR.\n");
    }
    if (parsed->operands.empty()) {
        return usageError("Error: give the notes, as files or folders of them.\n");
    }
    options.notes = parsed->operands;
    return options;
}

bool isAudioName(const fs::path& path) {
    static const std::set<std::string> kExtensions = {".wav", ".wave", ".aif", ".aiff", ".aifc", ".flac", ".ogg",
                                                      ".oga", ".opus", ".mp3", ".au", ".snd", ".caf", ".w64", ".rf64"};
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return kExtensions.count(extension) != 0;
}

// The notes: each file as given, each folder's sound files by name; a file
// reached twice (a folder given twice, a note and its folder) once.
std::vector<std::string> notesOf(const std::vector<std::string>& operands) {
    std::vector<std::string> notes;
    std::set<std::string> seen;
    auto add = [&](const std::string& note) {
        std::error_code error;
        const fs::path canonical = fs::weakly_canonical(fs::absolute(note), error);
        if (seen.insert(error ? note : canonical.string()).second) {
            notes.push_back(note);
        }
    };
    for (const std::string& operand : operands) {
        std::error_code error;
        if (!fs::is_directory(operand, error)) {
            add(operand);
            continue;
        }
        std::vector<std::string> inside;
        for (const fs::directory_entry& entry : fs::directory_iterator(operand, error)) {
            if (entry.is_regular_file(error) && isAudioName(entry.path())) {
                inside.push_back(entry.path().string());
            }
        }
        std::sort(inside.begin(), inside.end());
        for (const std::string& note : inside) {
            add(note);
        }
    }
    return notes;
}

// A sample's file name from its note's: letters, digits and . _ - # kept,
// anything else an underscore, and a number added where two would meet.
std::vector<std::string> sampleNames(const std::vector<std::string>& notes) {
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const std::string& note : notes) {
        std::string stem = fs::path(note).stem().string();
        for (char& c : stem) {
            if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '.' && c != '_' && c != '-' && c != '#') {
                c = '_';
            }
        }
        if (stem.empty() || stem[0] == '.') {
            stem = "note" + stem;
        }
        std::string name = stem;
        for (int n = 2; taken.count(name) != 0; ++n) {
            name = stem + "-" + std::to_string(n);
        }
        taken.insert(name);
        names.push_back(name);
    }
    return names;
}

// What a worker makes of one note.
struct NoteResult {
    std::optional<InstrumentSample> sample;
    SampleWords words;
    std::string svg;
    double loudnessDb = 0.0;
    std::string reason; // why the note is left out
    bool sampleUnwritten = false; // the sample, not the note, failed: the folder's trouble
    std::string warning;
};

int bitsOf(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
        return 16;
    default:
        return 24;
    }
}

// The sample as written, read back: the words the SoundFont holds, and the
// loop judged and drawn as the file has it.
std::optional<std::string> readBack(const std::string& path, InstrumentSample& sample, NoteResult& result) {
    SF_INFO info{};
    SndFileHandle file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        return std::string("cannot read back ") + path + ": " + sf_strerror(nullptr);
    }
    const auto channels = static_cast<std::size_t>(info.channels);
    const auto frames = static_cast<std::size_t>(info.frames);
    std::vector<int> interleaved(frames * channels);
    if (sf_readf_int(file.get(), interleaved.data(), info.frames) != info.frames) {
        return std::string("cannot read back ") + path;
    }
    const bool deep = sample.bits > 16;
    result.words.upper.assign(channels, std::vector<std::int16_t>(frames));
    if (deep) {
        result.words.lower.assign(channels, std::vector<std::uint8_t>(frames));
    }
    ChannelBuffer left(frames);
    ChannelBuffer right(channels > 1 ? frames : 0);
    for (std::size_t k = 0; k < frames; ++k) {
        for (std::size_t c = 0; c < channels; ++c) {
            const int v = interleaved[k * channels + c];
            result.words.upper[c][k] = static_cast<std::int16_t>(v >> 16);
            if (deep) {
                result.words.lower[c][k] = static_cast<std::uint8_t>((static_cast<unsigned>(v) >> 8) & 0xFF);
            }
            (c == 0 ? left : right)[k] = static_cast<double>(v) / 2147483648.0;
        }
    }
    sample.frames = frames;
    const std::unique_ptr<LoopSource> whole = buffersAsLoop(left, right, info.channels);
    const std::unique_ptr<LoopSource> loop = spanOf(*whole, sample.loopStart, sample.loopEnd);
    const SeamJudgement judgement = judgeSeam(*loop, info.samplerate);
    sample.verdict = verdictText(judgement.verdict);
    sample.rules = firedRules(judgement);
    SeamPictureOptions picture;
    picture.title = sample.name;
    result.svg = renderSeamSvg(*loop, info.samplerate, judgement, picture);
    return std::nullopt;
}

NoteResult loopOne(const Options& options, const std::string& note, const std::string& samplePath,
                   const std::string& sampleFile, const std::string& sampleName) {
    NoteResult result;
    NoteRequest request = options.loop;
    request.input = note;
    request.output = samplePath;
    request.namedRoot = noteOfName(fs::path(note).stem().string());
    std::ostringstream messages;
    const std::optional<LoopedNote> looped = loopNoteFile(request, messages, [&](const LoopedNote& found) {
        if (!found.unityNote) {
            messages << note << ": Error: no pitch found, and its name gives no note; nothing was written.\n";
            return false;
        }
        return true;
    });
    if (!looped) {
        std::string text = messages.str();
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        // The first line says why; the file it names is this note, or its sample.
        const std::string line = text.substr(0, text.find('\n'));
        result.sampleUnwritten = line.rfind(samplePath + ": ", 0) == 0;
        const std::size_t at = line.find("Error: ");
        result.reason = at == std::string::npos ? line : line.substr(at + 7);
        if (result.sampleUnwritten) {
            // The staging folder's path means nothing to the user: the system's reason alone.
            result.reason = line.substr(samplePath.size() + 2);
            const std::size_t system = result.reason.find("System error : ");
            if (system != std::string::npos) {
                result.reason = result.reason.substr(system + 15);
            }
            while (!result.reason.empty() && result.reason.back() == '.') {
                result.reason.pop_back();
            }
        }
        if (result.reason.empty()) {
            result.reason = "it could not be looped";
        }
        return result;
    }
    InstrumentSample sample;
    sample.file = sampleFile;
    sample.name = sampleName;
    sample.input = note;
    sample.channels = looped->output.channels;
    sample.sampleRate = looped->output.samplerate;
    sample.bits = bitsOf(looped->output.format);
    sample.loopStart = looped->loop.loop.start;
    sample.loopEnd = looped->loop.loop.end;
    const double unity = *looped->unityNote;
    sample.root = static_cast<int>(std::lround(unity));
    sample.tuneCents = -static_cast<int>(std::lround((unity - sample.root) * 100.0));
    if (looped->loop.pitch.pitched) {
        sample.foundNote = midiNoteOf(looped->loop.frequency);
    }
    sample.rootFrom = !request.namedRoot       ? "pitch"
                      : !sample.foundNote      ? "name"
                      : looped->nameDisagrees ? "name"
                                              : "name and pitch";
    if (looped->nameDisagrees) {
        char cents[32];
        std::snprintf(cents, sizeof cents, "%+.0f", (*sample.foundNote - *request.namedRoot) * 100.0);
        result.warning = note + ": Warning: its name says " + noteNameOf(*request.namedRoot) + ", its pitch is " +
                         cents + " cents from that (" + noteNameOf(static_cast<int>(std::lround(*sample.foundNote))) +
                         "); the name's note is used.";
    }
    sample.crossfadeFrames = looped->loop.crossfadeFrames();
    sample.levelChangeDb = looped->loop.loudnessChangeDb;
    sample.flattenDb = looped->loop.flattenDb;
    // The envelope's release as long as the recording's own, and never so
    // short that letting go clicks.
    sample.releaseSeconds = std::max(0.03, looped->releaseSeconds);
    result.loudnessDb = looped->peakDb;
    if (const std::optional<std::string> failure = readBack(samplePath, sample, result)) {
        result.reason = *failure;
        ::unlink(samplePath.c_str());
        return result;
    }
    result.sample = std::move(sample);
    return result;
}

// Writes one of the instrument's files through the same temporary-and-rename
// path as the samples, so that it appears only when complete.
bool writeFile(const std::string& path, const std::string& shown,
               const std::function<std::optional<std::string>(int)>& write, std::ostream& err) {
    OutputTarget target;
    std::optional<std::string> failure = target.open(path, std::nullopt);
    if (!failure) {
        failure = write(target.fd());
    }
    if (!failure) {
        failure = target.commit();
    }
    if (failure) {
        err << shown << ": Error: " << *failure << " The instrument folder was left as it was.\n";
        return false;
    }
    return true;
}

std::optional<std::string> writeText(int fd, const std::string& text) {
    const int error = writeAll(fd, text.data(), text.size());
    return error != 0 ? std::optional<std::string>(systemErrorText(error)) : std::nullopt;
}

int run(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> notes = notesOf(options.notes);
    if (notes.empty()) {
        err << "Error: no sound files in " << options.notes.front() << (options.notes.size() > 1 ? " and the rest" : "")
            << ".\n";
        return kTrouble;
    }
    InstrumentFolder building;
    if (const std::optional<std::string> failure = building.open(options.folder)) {
        err << options.folder << ": Error: " << *failure << "\n";
        return kTrouble;
    }
    // Everything is written into the staging folder, which takes the
    // instrument folder's place at the end; messages name the final place.
    const fs::path folder(building.staging());
    const fs::path shown(options.folder);
    // "strings/" names its folder as "strings" does.
    std::error_code error;
    const fs::path whole = fs::absolute(shown, error).lexically_normal();
    const std::string name = options.name                      ? *options.name
                             : whole.filename().string().empty() ? whole.parent_path().filename().string()
                                                                 : whole.filename().string();
    if (name.size() > kLongestName) {
        err << options.folder << ": Error: the folder's name is too long to name the instrument's files; give a "
            << "shorter one with --name.\n";
        return kTrouble;
    }

    const std::vector<std::string> names = sampleNames(notes);
    const std::string extension = options.wav ? ".wav" : ".flac";
    std::vector<NoteResult> results(notes.size());
    std::atomic<std::size_t> next{0};
    std::mutex progressMutex;
    std::size_t done = 0;
    const bool progress = !options.quiet && isatty(STDERR_FILENO) != 0;
    auto work = [&] {
        for (std::size_t i = next++; i < notes.size(); i = next++) {
            const std::string file = "samples/" + names[i] + extension;
            results[i] = loopOne(options, notes[i], (folder / file).string(), file, names[i]);
            const std::lock_guard<std::mutex> lock(progressMutex);
            ++done;
            if (progress) {
                const NoteResult& r = results[i];
                err << "[" << done << "/" << notes.size() << "] " << notes[i] << ": "
                    << (r.sample ? r.sample->verdict + ", " + noteNameOf(r.sample->root) : "left out: " + r.reason)
                    << "\n";
            }
        }
    };
    const unsigned jobs = std::max(1U, std::min<unsigned>(options.jobs != 0 ? options.jobs
                                                                             : std::thread::hardware_concurrency(),
                                                          static_cast<unsigned>(notes.size())));
    std::vector<std::thread> workers;
    for (unsigned j = 1; j < jobs; ++j) {
        workers.emplace_back(work);
    }
    work();
    for (std::thread& worker : workers) {
        worker.join();
    }

    Instrument instrument;
    instrument.name = name;
    std::vector<SampleWords> words;
    std::vector<std::string> pictures;
    std::vector<PlacedNote> placed;
    for (std::size_t i = 0; i < notes.size(); ++i) {
        NoteResult& r = results[i];
        if (!r.warning.empty()) {
            err << r.warning << "\n";
        }
        if (!r.sample) {
            instrument.leftOut.push_back({notes[i], r.reason});
            continue;
        }
        placed.push_back({r.sample->root, r.loudnessDb});
        instrument.samples.push_back(std::move(*r.sample));
        words.push_back(std::move(r.words));
        pictures.push_back(std::move(r.svg));
    }
    // A sample that could not be written (a full disk, a folder that takes
    // no file) is no fault of its note: the instrument is not made smaller
    // for it, and the old one stays.
    for (std::size_t i = 0; i < notes.size(); ++i) {
        if (results[i].sampleUnwritten) {
            err << options.folder << ": Error: the sample of " << notes[i] << " could not be written: "
                << results[i].reason << "; the instrument folder was left as it was.\n";
            return kTrouble;
        }
    }
    for (const LeftOutNote& left : instrument.leftOut) {
        err << left.input << ": left out: " << left.reason << "\n";
    }
    if (instrument.samples.empty()) {
        err << "Error: no note could be looped; no instrument was made.\n";
        return kLeftOut;
    }
    const std::vector<KeyZone> zones = mapKeys(placed);
    for (std::size_t i = 0; i < zones.size(); ++i) {
        instrument.samples[i].zone = zones[i];
    }

    std::vector<AuditionLoop> loops;
    for (std::size_t i = 0; i < instrument.samples.size(); ++i) {
        const InstrumentSample& s = instrument.samples[i];
        AuditionLoop loop;
        loop.name = s.name;
        loop.audioFile = (folder / s.file).string();
        loop.mimeType = options.wav ? "audio/wav" : "audio/flac";
        loop.sampleRate = s.sampleRate;
        loop.channels = s.channels;
        loop.frames = s.frames;
        loop.loopStart = s.loopStart;
        loop.loopEnd = s.loopEnd;
        loop.midiNote = s.root - s.tuneCents / 100.0;
        loop.verdict = s.verdict;
        loop.rules = s.rules;
        loop.svg = pictures[i];
        loop.zone = s.zone;
        loop.root = s.root;
        loop.tuneCents = s.tuneCents;
        loop.releaseSeconds = s.releaseSeconds;
        loops.push_back(std::move(loop));
    }
    const std::string base = (folder / name).string();
    const std::string shownBase = (shown / name).string();
    const bool written =
        writeFile(base + ".sfz", shownBase + ".sfz", [&](int fd) { return writeText(fd, sfzOf(instrument, kMadeBy)); }, err) &&
        writeFile(base + ".sf2", shownBase + ".sf2", [&](int fd) { return writeSoundFont(fd, instrument, words, kMadeBy); }, err) &&
        writeFile(base + ".json", shownBase + ".json", [&](int fd) { return writeText(fd, instrumentJson(instrument, kMadeBy)); }, err) &&
        writeFile((folder / "index.html").string(), (shown / "index.html").string(),
                  [&](int fd) { return writeAuditionPage(fd, name, loops, true, kMadeBy); }, err);
    std::set<std::string> ours = {"samples", name + ".sfz", name + ".sf2", name + ".json", "index.html"};
    for (const InstrumentSample& s : instrument.samples) {
        ours.insert(s.file);
    }
    if (!written) {
        return kTrouble;
    }
    if (const std::optional<std::string> failure = building.commit(ours)) {
        err << options.folder << ": Error: " << *failure << " The instrument was left as it was.\n";
        return kTrouble;
    }
    if (!options.quiet) {
        std::map<int, std::size_t> notesAtRoot;
        int low = 127;
        int high = 0;
        std::size_t smooth = 0;
        for (const InstrumentSample& s : instrument.samples) {
            ++notesAtRoot[s.root];
            low = std::min(low, s.zone.lowKey);
            high = std::max(high, s.zone.highKey);
            smooth += s.verdict == "smooth" ? 1 : 0;
        }
        std::size_t layers = 1;
        for (const auto& [root, count] : notesAtRoot) {
            layers = std::max(layers, count);
        }
        out << "Instrument: " << name << ", " << instrument.samples.size() << " of " << notes.size() << " notes"
            << (instrument.leftOut.empty() ? "" : " (" + std::to_string(instrument.leftOut.size()) + " left out)")
            << ", keys " << noteNameOf(low) << " to " << noteNameOf(high) << ", " << notesAtRoot.size() << " roots, "
            << layers << (layers == 1 ? " velocity layer" : " velocity layers") << "; seams smooth: " << smooth
            << " of " << instrument.samples.size() << "\n"
            << "Wrote:      " << (shown / "samples").string() << "/, " << shownBase << ".sfz, " << shownBase
            << ".sf2, " << shownBase << ".json, " << (shown / "index.html").string() << "\n";
        if (!flushReport(out, err)) {
            return kTrouble;
        }
    }
    return instrument.leftOut.empty() ? kAllIn : kLeftOut;
}

} // namespace

int runInstrument(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    int status = kTrouble;
    const std::optional<Options> options = parseOptions(argc, argv, out, err, status);
    if (!options) {
        return status;
    }
    return whenMemoryRunsOut(kTrouble, err, "Error: not enough memory to make the instrument.\n",
                             [&] { return run(*options, out, err); });
}

} // namespace sorvane
