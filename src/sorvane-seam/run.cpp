#include "sorvane-seam/run.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio_io/audio_io.hpp"
#include "files/file_descriptor.hpp"
#include "audio_io/file_frames.hpp"
#include "audio_io/output_target.hpp"
#include "audio_io/sndfile_handle.hpp"
#include "cli/options.hpp"
#include "cli/out_of_memory_status.hpp"
#include "cli/report.hpp"
#include "audition/audition_page.hpp"
#include "seam/seam_judge.hpp"
#include "seam/seam_picture.hpp"
#include "escape/escape.hpp"

namespace sorvane {

namespace {

// Exit statuses as cmp(1) and diff(1) have them.
constexpr int kAllSmooth = 0;
constexpr int kFlagged = 1;
constexpr int kTrouble = 2;
constexpr int kNotJudged = 3; // none flagged, but a loop too short to judge

const char* const kUsage =
    " [--format text|tsv|json] [--whole] [--svg PICTURE | --svg-dir DIR] [--shared-scale] [--html PAGE] LOOP...";

enum class Format { Text, Tsv, Json };

struct Options {
    Format format = Format::Text;
    std::optional<std::string> svg;
    std::optional<std::string> svgDir;
    std::optional<std::string> html;
    bool sharedScale = false;
    bool whole = false;
    std::vector<std::string> loops;
};

void printHelp(std::ostream& out, const std::string& name) {
    out << "Usage: " << name << kUsage << "\n"
        << "Judges whether each loop clicks where it wraps around (last frame into first):\n"
        << "the loop a file marks for samplers, else the whole file.\n"
        << "\n"
        << "  --format FORMAT  text (default), tsv or json\n"
        << "  --whole          judge the whole file's wrap, not the loop it marks\n"
        << "  --svg PICTURE    draw the seam of the one loop given to PICTURE\n"
        << "  --svg-dir DIR    draw the seam of each loop to DIR/<loop name>.svg\n"
        << "  --shared-scale   draw every channel to the scale of the loudest\n"
        << "  --html PAGE      write a page to hear each loop, its seam, and see its picture\n"
        << "  -h, --help       show this help and exit\n"
        << "  --version        show the version and exit\n"
        << "\n"
        << "Exit status: 0 when every loop is smooth, 1 when at least one is flagged\n"
        << "(likely click or level jump), 2 on trouble (an unreadable file, say), 3 when\n"
        << "none is flagged but one is too short to judge.\n";
}

// Parses the command line; nullopt when the run ends here with `status`.
std::optional<Options> parseOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                                    int& status) {
    const CommandLineConventions conventions{"sorvane-seam", kUsage, printHelp, kTrouble};
    const std::optional<ParsedCommandLine> parsed =
        parseCommandLine(argc, argv, {{"format", '\0', true}, {"svg", '\0', true}, {"svg-dir", '\0', true}, {"shared-scale"}, {"whole"},
                                          {"html", '\0', true}},
                         conventions, out, err, status);
    if (!parsed) {
        return std::nullopt;
    }
    auto usageError = [&](const std::string& message) {
        return refuseCommandLine(message, argc, argv, conventions, err, status);
    };
    Options options;
    for (const ParsedOption& option : parsed->options) {
        if (option.name == "shared-scale") {
            options.sharedScale = true;
        } else if (option.name == "whole") {
            options.whole = true;
        } else if (option.name == "format") {
            const std::map<std::string, Format> formats = {
                {"text", Format::Text}, {"tsv", Format::Tsv}, {"json", Format::Json}};
            const auto found = formats.find(option.value);
            if (found == formats.end()) {
                return usageError("Error: unknown format \"" + option.value + "\"; choose text, tsv or json.\n");
            }
            options.format = found->second;
        } else if (option.name == "svg") {
            options.svg = option.value;
        } else if (option.name == "html") {
            options.html = option.value;
        } else {
            options.svgDir = option.value;
        }
    }
    options.loops = parsed->operands;
    if (options.loops.empty()) {
        return usageError("");
    }
    if (options.svg && options.svgDir) {
        return usageError("Error: give --svg or --svg-dir, not both.\n");
    }
    if (options.svg && options.loops.size() != 1) {
        return usageError("Error: --svg draws one loop; for several, use --svg-dir.\n");
    }
    return options;
}

// Writes the picture through a descriptor that is checked to be none of the
// loops of the run (by any name or link) before anything is changed: a
// picture path mistyped as a loop's must not replace a sound with a drawing.
bool writePicture(const std::string& path, const std::string& svg, const std::vector<FileIdentity>& loops,
                  std::ostream& err) {
    FileDescriptor fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
    const bool created = static_cast<bool>(fd);
    if (!fd && errno == EEXIST) {
        // Without a wait: a FIFO that nobody reads would hold the run for ever.
        fd = FileDescriptor(open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (!fd && errno == ENXIO) {
            err << "Error writing picture file " << path << ": it is a FIFO that no program is reading.\n";
            return false;
        }
        if (fd) {
            fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
        }
    }
    struct stat st {};
    int error = !fd || fstat(fd.get(), &st) != 0 ? errno : 0;
    if (error == 0 && std::find(loops.begin(), loops.end(), identityOf(st)) != loops.end()) {
        err << "Error: picture file " << path << " is the loop itself; choose another name.\n";
        return false;
    }
    if (error == 0 && S_ISREG(st.st_mode) && ftruncate(fd.get(), 0) != 0) {
        error = errno;
    }
    if (error == 0) {
        error = writeAll(fd.get(), svg.data(), svg.size());
    }
    if (error == 0) {
        error = fd.close();
    }
    if (error != 0) {
        if (created) {
            unlink(path.c_str());
        }
        err << "Error writing picture file " << path << ": " << std::strerror(error) << "\n";
        return false;
    }
    return true;
}

// Numbers as the reports print them; infinity has no JSON spelling, and a
// measure not taken (NaN) is null in JSON and "-" elsewhere.
std::string number(double value, int decimals, Format format, bool sign = false) {
    if (std::isnan(value)) {
        return format == Format::Json ? "null" : "-";
    }
    if (std::isinf(value)) {
        return format == Format::Json ? "null" : value > 0 ? (sign ? "+inf" : "inf") : "-inf";
    }
    char text[64];
    std::snprintf(text, sizeof text, sign && format != Format::Json ? "%+.*f" : "%.*f", decimals, value);
    return text;
}

template <typename Words> std::string joined(const Words& words, const std::string& separator) {
    std::string text;
    for (const auto& word : words) {
        text += (text.empty() ? "" : separator) + word;
    }
    return text;
}

// Which frames of the file were judged: the loop it marks, or all of it.
struct Judged {
    std::uint64_t first = 0;
    std::uint64_t end = 0; // one past the last
    bool marked = false;
    int sampleRate = 0;
    std::uint64_t frames() const { return end - first; }
};

std::string framesJudged(const Judged& loop) {
    return loop.marked ? " (" + std::to_string(loop.first) + " to " + std::to_string(loop.end - 1) +
                             ", the loop the file marks)"
                       : "";
}

void printText(std::ostream& out, const std::string& path, const Judged& loop, const SeamJudgement& j) {
    out << "Loop:   " << path << "\n"
        << "Frames: " << loop.frames() << " at " << loop.sampleRate << " Hz" << framesJudged(loop) << "\n";
    if (j.verdict == SeamVerdict::NotJudged) {
        out << "seam: not judged (" << loop.frames() << " frames are too few for any measure)\n";
        return;
    }
    for (std::size_t c = 0; c < j.channels.size(); ++c) {
        const ChannelJudgement& m = j.channels[c];
        const std::vector<const char*> rules = firedRules(m);
        out << channelName(c, j.channels.size()) << ": surprise " << number(m.surprise, 1, Format::Text)
            << ", period " << number(m.periodRatio, 1, Format::Text) << ", curvature " << number(m.curvatureRatio, 1, Format::Text)
            << (std::isnan(m.levelChangeDb) ? ", level not judged (a short loop)"
                                            : ", level " + number(m.levelChangeDb, 1, Format::Text, true) + " dB")
            << "; "
            << (rules.empty() ? "no rule fired" : "fired: " + joined(rules, ", ")) << "\n";
    }
    out << "seam: " << verdictText(j.verdict) << "\n";
}

void printTsv(std::ostream& out, const std::string& path, const Judged& loop, const SeamJudgement& j) {
    const bool judged = j.verdict != SeamVerdict::NotJudged;
    for (std::size_t c = 0; c < j.channels.size(); ++c) {
        const ChannelJudgement& m = j.channels[c];
        const std::vector<const char*> rules = firedRules(m);
        out << escapeTsv(path) << '\t' << loop.frames() << '\t' << loop.sampleRate << '\t'
            << channelName(c, j.channels.size()) << '\t';
        if (judged) {
            out << number(m.surprise, 3, Format::Tsv) << '\t' << number(m.periodRatio, 3, Format::Tsv) << '\t'
                << number(m.curvatureRatio, 3, Format::Tsv) << '\t' << number(m.levelChangeDb, 3, Format::Tsv, true)
                << '\t';
        } else {
            out << "-\t-\t-\t-\t";
        }
        out << (rules.empty() ? "-" : joined(rules, ",")) << '\t' << verdictText(j.verdict) << '\t' << loop.first
            << '\t' << loop.end - 1 << "\n";
    }
}

std::string jsonOf(const std::string& path, const Judged& loop, const SeamJudgement& j) {
    const bool judged = j.verdict != SeamVerdict::NotJudged;
    auto measure = [&](double value, int decimals) { return judged ? number(value, decimals, Format::Json) : "null"; };
    std::ostringstream json;
    json << "{\"loop\": " << quoteJson(path) << ", \"frames\": " << loop.frames()
         << ", \"sample_rate\": " << loop.sampleRate << ", \"first_frame\": " << loop.first
         << ", \"last_frame\": " << loop.end - 1 << ", \"judged\": \"" << (loop.marked ? "marked loop" : "whole file")
         << "\", \"verdict\": \"" << verdictText(j.verdict)
         << "\", \"smooth_with_margin\": " << (isSmoothWithMargin(j) ? "true" : "false") << ", \"channels\": [";
    for (std::size_t c = 0; c < j.channels.size(); ++c) {
        const ChannelJudgement& m = j.channels[c];
        std::vector<std::string> rules;
        for (const char* rule : firedRules(m)) {
            rules.push_back("\"" + std::string(rule) + "\"");
        }
        json << (c > 0 ? ", " : "") << "{\"channel\": \"" << channelName(c, j.channels.size())
             << "\", \"surprise\": " << measure(m.surprise, 3)
             << ", \"prediction_error\": " << measure(m.predictionError, 6)
             << ", \"period_ratio\": " << measure(m.periodRatio, 3)
             << ", \"period_mismatch\": " << measure(m.periodMismatch, 3)
             << ", \"curvature_ratio\": " << measure(m.curvatureRatio, 3)
             << ", \"level_change_db\": " << measure(m.levelChangeDb, 3) << ", \"fired\": ["
             << joined(rules, ", ") << "]}";
    }
    json << "]}";
    return json.str();
}

// The file name a loop's picture gets in --svg-dir; standard input's is stdin.svg.
std::string pictureIn(const std::string& dir, const std::string& loop) {
    const std::size_t slash = loop.find_last_of('/');
    const std::string name = loop == "-" ? std::string("stdin") : slash == std::string::npos ? loop : loop.substr(slash + 1);
    return dir + (dir.empty() || dir.back() == '/' ? "" : "/") + name + ".svg";
}

// A loop that could not be judged, in the table and the JSON too, so that
// neither reads as the whole run: the first line of why.
void printFailure(std::ostream& out, Format format, const std::string& path, const std::string& why,
                  std::vector<std::string>& json) {
    if (format == Format::Tsv) {
        out << escapeTsv(path) << "\t-\t-\t-\t-\t-\t-\t-\t-\terror\t-\t-\n";
    } else if (format == Format::Json) {
        json.push_back("{\"loop\": " + quoteJson(path) + ", \"verdict\": \"error\", \"error\": " + quoteJson(why) + "}");
    }
}

// A copy of a sound that browsers do not decode (AIFF, AU, CAF, a pipe), as
// a 24-bit FLAC in a scratch file: lossless for every integer format of 24
// bits or fewer, and within a 24-bit step of a floating-point one.
std::optional<FileDescriptor> losslessCopy(const LoopSource& sound, int rate, int format, std::ostream& err,
                                           const std::string& path) {
    std::string folder;
    FileDescriptor fd = scratchFile(folder);
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = static_cast<int>(sound.channels());
    const int encoding = format & SF_FORMAT_SUBMASK;
    info.format = SF_FORMAT_FLAC | (encoding == SF_FORMAT_PCM_S8 || encoding == SF_FORMAT_PCM_U8 ? SF_FORMAT_PCM_S8
                                    : encoding == SF_FORMAT_PCM_16                              ? SF_FORMAT_PCM_16
                                                                                                : SF_FORMAT_PCM_24);
    bool written = static_cast<bool>(fd);
    if (written) {
        SndFileHandle out(sf_open_fd(fd.get(), SFM_WRITE, &info, SF_FALSE));
        written = static_cast<bool>(out);
        std::vector<double> block(4096 * sound.channels());
        for (std::uint64_t at = 0; written && at < sound.frames(); at += 4096) {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(4096, sound.frames() - at));
            sound.fill(at, count, block.data());
            written = sf_writef_double(out.get(), block.data(), static_cast<sf_count_t>(count)) ==
                      static_cast<sf_count_t>(count);
        }
        written = written && sf_close(out.release()) == 0;
    }
    if (!written) {
        err << path << ": Error: cannot make a copy for the page in " << folder << ".\n";
        return std::nullopt;
    }
    return fd;
}

// Judges one loop; false on trouble, said on `err` with the loop named.
bool judgeLoop(const Options& options, const std::string& path, const std::vector<FileIdentity>& loops,
               std::ostream& out, std::ostream& err, std::vector<std::string>& json, bool& flagged, bool& notJudged,
               std::vector<AuditionLoop>& page, std::vector<FileDescriptor>& copies, bool& reported) {
    // The reader's messages name no file; with several loops they must.
    std::ostringstream reading;
    auto readingFailed = [&] {
        std::istringstream lines(reading.str());
        for (std::string line; std::getline(lines, line);) {
            err << path << ": " << line << "\n";
        }
        return false;
    };
    std::optional<OpenInput> opened = openInputAudio(path, reading);
    if (!opened) {
        return readingFailed();
    }
    const int fileFormat = opened->info.format;
    const std::optional<LoopPoints> points = readLoopPoints(opened->fd->get(), opened->info);
    // A file is read where it is judged, so that memory does not grow with
    // the loop; a pipe, which cannot be read twice, is held whole, and so is
    // a file that holds fewer frames than it declares, of which the frames
    // it holds are judged.
    std::unique_ptr<FileFrames> file;
    std::optional<AudioInput> held;
    std::unique_ptr<LoopSource> buffers;
    const int rate = opened->info.samplerate;
    auto hold = [&](OpenInput input) {
        held = readInputAudio(std::move(input), reading);
        if (held) {
            buffers = buffersAsLoop(held->left, held->right, held->info.channels);
        }
        return held.has_value();
    };
    if (opened->reopenable && opened->fileBytes && opened->info.seekable) {
        file = std::make_unique<FileFrames>(std::move(*opened));
    } else if (!hold(std::move(*opened))) {
        return readingFailed();
    }
    const LoopSource* whole = file ? static_cast<const LoopSource*>(file.get()) : buffers.get();
    // The loop a sampler plays, where the file marks one.
    Judged judged{0, whole->frames(), false, rate};
    if (!options.whole) {
        if (points) {
            if (points->start >= points->end || points->end > whole->frames()) {
                err << path << ": Error: the loop the file marks (" << points->start << " to " << points->end
                    << ", one past its last frame) does not lie within its " << whole->frames()
                    << " frames; judge the whole file with --whole.\n";
                return false;
            }
            judged = {points->start, points->end, true, rate};
        }
    }
    std::unique_ptr<LoopSource> span;
    const LoopSource* loop = whole;
    std::optional<SeamJudgement> judgement;
    std::string svg;
    const std::optional<std::string> picture =
        options.svg ? options.svg : options.svgDir ? std::optional(pictureIn(*options.svgDir, path)) : std::nullopt;
    for (;;) {
        if (judged.marked) {
            span = spanOf(*whole, judged.first, judged.end);
            loop = span.get();
        }
        if (loop->frames() < 2) {
            err << path << ": Error: loop must have at least 2 frames to judge its seam.\n";
            return false;
        }
        judgement = judgeSeam(*loop, rate);
        if (picture || options.html) {
            SeamPictureOptions drawing;
            drawing.title = path + framesJudged(judged);
            drawing.sharedScale = options.sharedScale;
            svg = renderSeamSvg(*loop, rate, *judgement, drawing);
        }
        if (!file || !file->error()) {
            break;
        }
        file.reset();
        opened = openInputAudio(path, reading);
        if (!opened || !hold(std::move(*opened))) {
            return readingFailed();
        }
        whole = buffers.get();
        if (!judged.marked) {
            judged.end = whole->frames();
        }
    }
    flagged = flagged || (judgement->verdict != SeamVerdict::Smooth && judgement->verdict != SeamVerdict::NotJudged);
    notJudged = notJudged || judgement->verdict == SeamVerdict::NotJudged;
    // The verdict is printed first: a picture that cannot be written fails
    // the run, but the loop was judged all the same.
    switch (options.format) {
    case Format::Text: printText(out, path, judged, *judgement); break;
    case Format::Tsv: printTsv(out, path, judged, *judgement); break;
    case Format::Json: json.push_back(jsonOf(path, judged, *judgement)); break;
    }
    reported = true;
    if (picture && !writePicture(*picture, svg, loops, err)) {
        return false;
    }
    if (options.html) {
        AuditionLoop heard;
        heard.name = path;
        heard.sampleRate = rate;
        heard.channels = static_cast<int>(whole->channels());
        heard.frames = whole->frames();
        heard.loopStart = judged.first;
        heard.loopEnd = judged.end;
        heard.midiNote = judged.marked && points ? points->midiNote : std::nullopt;
        heard.verdict = verdictText(judgement->verdict);
        heard.rules = firedRules(*judgement);
        heard.svg = svg;
        if (const std::optional<std::string> mime = browserMimeType(fileFormat); mime && path != "-") {
            heard.audioFile = path;
            heard.mimeType = *mime;
        } else if (std::optional<FileDescriptor> copy = losslessCopy(*whole, rate, fileFormat, err, path)) {
            heard.audioFd = copy->get();
            heard.mimeType = "audio/flac";
            copies.push_back(std::move(*copy));
        } else {
            return false;
        }
        page.push_back(std::move(heard));
    }
    return true;
}

int runChecked(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    int status = kAllSmooth;
    const std::optional<Options> options = parseOptions(argc, argv, out, err, status);
    if (!options) {
        return status;
    }
    // Every loop of the run, by identity, so that no picture replaces one.
    std::vector<FileIdentity> identities;
    for (const std::string& path : options->loops) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0) {
            identities.push_back(identityOf(st));
        }
    }
    bool trouble = false;
    if (options->svgDir) {
        std::map<std::string, std::string> drawnFrom;
        for (const std::string& path : options->loops) {
            const auto [at, added] = drawnFrom.emplace(pictureIn(*options->svgDir, path), path);
            if (!added && at->second != path) {
                err << "Error: the pictures of " << at->second << " and " << path << " would both be "
                    << at->first << "; judge them in separate runs.\n";
                return kTrouble;
            }
        }
    }
    if (options->format == Format::Tsv) {
        out << "loop\tframes\tsample_rate\tchannel\tsurprise\tperiod\tcurvature\tlevel_db\tfired\tverdict\t"
               "first_frame\tlast_frame\n";
    }
    bool flagged = false;
    bool notJudged = false;
    std::vector<std::string> json;
    std::vector<AuditionLoop> page;
    std::vector<FileDescriptor> copies;
    if (options->html) {
        struct stat st {};
        if (stat(options->html->c_str(), &st) == 0 &&
            std::find(identities.begin(), identities.end(), identityOf(st)) != identities.end()) {
            err << "Error: page " << *options->html << " is one of the loops; choose another name.\n";
            return kTrouble;
        }
    }
    for (std::size_t i = 0; i < options->loops.size(); ++i) {
        if (options->format == Format::Text && i > 0) {
            out << "\n";
        }
        const std::string& path = options->loops[i];
        std::ostringstream messages;
        bool reported = false;
        const int judged = whenMemoryRunsOut(kTrouble, messages, notEnoughMemoryFor(path), [&] {
            return judgeLoop(*options, path, identities, out, messages, json, flagged, notJudged, page, copies,
                             reported)
                       ? kAllSmooth
                       : kTrouble;
        });
        // Only when there is something to say: standard error is tied to
        // standard output, whose failure flushReport is to find and name.
        if (!messages.str().empty()) {
            err << messages.str();
        }
        if (judged != kAllSmooth && !reported) {
            const std::string text = messages.str();
            std::string why = text.substr(0, text.find('\n'));
            if (why.rfind(path + ": ", 0) == 0) {
                why.erase(0, path.size() + 2);
            }
            printFailure(out, options->format, path, why, json);
        }
        trouble = trouble || judged != kAllSmooth;
    }
    if (options->format == Format::Json) {
        out << "{\"loops\": [" << (json.empty() ? "" : "\n  ") << joined(json, ",\n  ") << "]}\n";
    }
    if (options->html && !page.empty()) {
        OutputTarget target;
        std::optional<std::string> failure = target.open(*options->html, std::nullopt);
        if (!failure) {
            failure = writeAuditionPage(target.fd(), "Loops", page, false, std::string("sorvane-seam ") + SORVANE_VERSION);
        }
        if (!failure) {
            failure = target.commit();
        }
        if (failure) {
            err << "Error writing page " << *options->html << ": " << *failure << "\n";
            trouble = true;
        }
    }
    if (!flushReport(out, err)) {
        return kTrouble;
    }
    return trouble ? kTrouble : flagged ? kFlagged : notJudged ? kNotJudged : kAllSmooth;
}

} // namespace

int runSeam(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    return whenMemoryRunsOut(kTrouble, err, "Error: not enough memory.\n",
                             [&] { return runChecked(argc, argv, out, err); });
}

} // namespace sorvane
