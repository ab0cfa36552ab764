// Runs the real sorvane-seam executable.
#include <cmath>
#include <filesystem>
#include <string>

#include <sys/stat.h>

#include <taglib/flacfile.h>
#include <taglib/xiphcomment.h>
#include <tuple>

#include <gtest/gtest.h>

#include "seam/seam_judge.hpp"
#include "test_support.hpp"

namespace sorvane {
namespace {

using test::ProgramResult;
using test::TempDir;

ProgramResult runSeamExecutable(const std::vector<std::string>& args) {
    return test::runProgram(test::seamExecutable(), args);
}

// Whole cycles of a 441 Hz tone (smooth), or the same cut a quarter cycle in.
std::vector<double> tone(bool cut) {
    std::vector<double> samples;
    for (int i = 0; i < 44100 + (cut ? 25 : 0); ++i) {
        samples.push_back(0.5 * std::sin(6.283185307179586 * i / 100.0));
    }
    return samples;
}

struct Loops {
    TempDir dir;
    std::string smooth = dir.file("smooth loop.wav");
    std::string cut = dir.file("cut.flac");
    Loops() {
        test::writeAudio(smooth, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, tone(false));
        test::writeAudio(cut, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, tone(true));
    }
};

TEST(SeamCommand, ReportsEachLoopAndExitsAsCmpDoes) {
    Loops loops;
    const ProgramResult both = runSeamExecutable({loops.smooth, loops.cut});
    EXPECT_EQ(both.status, 1) << both.err;
    EXPECT_EQ(both.err, "");
    EXPECT_EQ(both.out.find("Loop:   " + loops.smooth + "\nFrames: 44100 at 44100 Hz\nmono: surprise "), 0u)
        << both.out;
    EXPECT_NE(both.out.find("; no rule fired\nseam: smooth\n\nLoop:   " + loops.cut + "\n"), std::string::npos);
    EXPECT_NE(both.out.find("; fired: prediction"), std::string::npos);
    EXPECT_EQ(both.out.substr(both.out.size() - 20), "\nseam: likely click\n");

    const struct {
        std::vector<std::string> args;
        int status;
    } statuses[] = {
        {{loops.smooth}, 0},
        {{loops.cut, loops.smooth}, 1},
        {{loops.dir.file("missing.wav"), loops.cut}, 2},
    };
    for (const auto& s : statuses) {
        EXPECT_EQ(runSeamExecutable(s.args).status, s.status) << s.args[0];
    }
}

TEST(SeamCommand, MachineReadableForms) {
    Loops loops;
    const ProgramResult tsv = runSeamExecutable({"--format", "tsv", loops.smooth, loops.cut});
    EXPECT_EQ(tsv.status, 1);
    EXPECT_EQ(tsv.out.find("loop\tframes\tsample_rate\tchannel\tsurprise\tperiod\tcurvature\tlevel_db\tfired\tverdict"
                           "\tfirst_frame\tlast_frame\n" +
                           loops.smooth + "\t44100\t44100\tmono\t"),
              0u)
        << tsv.out;
    EXPECT_NE(tsv.out.find("\t-\tsmooth\t0\t44099\n" + loops.cut + "\t44125\t44100\tmono\t"), std::string::npos);
    const ProgramResult json = runSeamExecutable({"--format", "json", loops.cut});
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.out.find("{\"loops\": [\n  {\"loop\": \"" + loops.cut +
                            "\", \"frames\": 44125, \"sample_rate\": 44100, \"first_frame\": 0, \"last_frame\": 44124, "
                            "\"judged\": \"whole file\", \"verdict\": \"likely click\""),
              0u)
        << json.out;
    EXPECT_NE(json.out.find("\"fired\": [\"prediction\""), std::string::npos);
    EXPECT_NE(json.out.find("\"verdict\": \"likely click\", \"smooth_with_margin\": false,"), std::string::npos);

    // A name with a tab and a quote stays one field, and one JSON string.
    const std::string odd = loops.dir.file("take\t\"2\".wav");
    std::filesystem::copy_file(loops.smooth, odd);
    const std::string escaped = loops.dir.file("take");
    EXPECT_NE(runSeamExecutable({"--format", "tsv", odd}).out.find("\n" + escaped + "\\t\"2\".wav\t44100\t"),
              std::string::npos);
    EXPECT_NE(runSeamExecutable({"--format", "json", odd}).out.find("\"" + escaped + "\\t\\\"2\\\".wav\""),
              std::string::npos);
}

// A file is read only where it is judged, from the start when its decoder
// cannot seek to the frame: the verdict and every measure are those of the
// whole loop decoded, in every kind of file, and from standard input.
TEST(SeamCommand, JudgesAFileAsItsDecodedFrames) {
    TempDir dir;
    const std::vector<double> samples = test::sustainedNote({44100, 2, 330.0, 6.0, 0.003, 0.01});
    for (const auto& [name, format] : {std::pair{"loop.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                                       std::pair{"loop.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                       std::pair{"loop.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
                                       std::pair{"loop.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}}) {
        const std::string path = dir.file(name);
        test::writeAudio(path, format, 44100, 2, samples);
        const test::AudioFile decoded = test::readAudio(path);
        ChannelBuffer left;
        ChannelBuffer right;
        for (std::size_t k = 0; k + 1 < decoded.samples.size(); k += 2) {
            left.push_back(decoded.samples[k]);
            right.push_back(decoded.samples[k + 1]);
        }
        const SeamJudgement whole = judgeSeam(left, right, 2, 44100);
        std::string expected;
        for (const ChannelJudgement& c : whole.channels) {
            char line[200];
            std::snprintf(line, sizeof line, "%.3f\t%.3f\t%.3f\t%+.3f\t", c.surprise, c.periodRatio,
                          c.curvatureRatio, c.levelChangeDb);
            expected += line;
        }
        for (const bool piped : {false, true}) {
            test::RunOptions options;
            if (piped) {
                options.stdinPath = path;
                options.stdinIsPipe = true;
            }
            const ProgramResult r = test::runProgram(test::seamExecutable(), {"--format", "tsv", piped ? "-" : path}, options);
            std::string measured;
            for (std::size_t at = r.out.find('\n'); at != std::string::npos && at + 1 < r.out.size();
                 at = r.out.find('\n', at + 1)) {
                std::size_t field = at + 1;
                for (int tab = 0; tab < 4; ++tab) {
                    field = r.out.find('\t', field) + 1;
                }
                measured += r.out.substr(field, r.out.find('\t', r.out.find('\t', r.out.find('\t', r.out.find('\t', field) + 1) + 1) + 1) + 1 - field);
            }
            EXPECT_EQ(measured, expected) << name << (piped ? " through a pipe" : "");
        }
    }
}

// A note whose loop, 200 whole periods in its sustain, is marked where
// samplers read it: that loop is judged, as a sampler repeats it; the file's
// own wrap, release into attack, only with --whole.
TEST(SeamCommand, JudgesTheLoopAFileMarks) {
    TempDir dir;
    std::vector<double> note(44100);
    for (std::size_t i = 0; i < note.size(); ++i) {
        const double t = static_cast<double>(i);
        note[i] = std::min(1.0, t / 2000.0) * std::min(1.0, (44100.0 - t) / 8000.0) * 0.5 * std::sin(6.283185307179586 * t / 100.0);
    }
    const std::string wav = dir.file("note.wav");
    const std::string flac = dir.file("note.flac");
    const std::string outside = dir.file("outside.flac");
    {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(wav.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        SF_INSTRUMENT instrument{};
        instrument.basenote = 69;
        instrument.loop_count = 1;
        instrument.loops[0] = {SF_LOOP_FORWARD, 10000, 30000, 0};
        EXPECT_EQ(sf_command(file, SFC_SET_INSTRUMENT, &instrument, sizeof instrument), SF_TRUE);
        EXPECT_EQ(sf_writef_double(file, note.data(), 44100), 44100);
        sf_close(file);
    }
    for (const auto& [path, start, length] : {std::tuple{flac, "10000", "20000"}, std::tuple{outside, "40000", "20000"}}) {
        test::writeAudio(path, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, note);
        TagLib::FLAC::File file(path.c_str());
        file.xiphComment(true)->addField("LOOPSTART", start);
        file.xiphComment(true)->addField("LOOPLENGTH", length);
        ASSERT_TRUE(file.save());
    }
    for (const std::string& path : {wav, flac}) {
        const ProgramResult marked = runSeamExecutable({path});
        EXPECT_EQ(marked.status, 0) << marked.out;
        EXPECT_NE(marked.out.find("Frames: 20000 at 44100 Hz (10000 to 29999, the loop the file marks)\n"),
                  std::string::npos) << marked.out;
        const ProgramResult whole = runSeamExecutable({"--whole", path});
        EXPECT_EQ(whole.status, 1);
        EXPECT_NE(whole.out.find("Frames: 44100 at 44100 Hz\n"), std::string::npos) << whole.out;
    }
    const ProgramResult bad = runSeamExecutable({outside});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, outside + ": Error: the loop the file marks (40000 to 60000, one past its last frame) does not "
                                 "lie within its 44100 frames; judge the whole file with --whole.\n");
    // Too few frames for any measure: said, and told apart by the status.
    const std::string tiny = dir.file("tiny.wav");
    test::writeAudio(tiny, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {0.1, 0.2, 0.3, 0.2, 0.1});
    const ProgramResult short5 = runSeamExecutable({tiny});
    EXPECT_EQ(short5.status, 3);
    EXPECT_NE(short5.out.find("seam: not judged (5 frames are too few for any measure)\n"), std::string::npos);
    EXPECT_EQ(runSeamExecutable({tiny, flac}).status, 3);
    EXPECT_EQ(runSeamExecutable({tiny, wav, "--whole"}).status, 1);
}

TEST(SeamCommand, HelpVersionAndUsage) {
    const ProgramResult help = runSeamExecutable({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--svg-dir DIR"), std::string::npos);
    EXPECT_EQ(help.err, "");
    const ProgramResult version = runSeamExecutable({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.find("sorvane-seam "), 0u);
}

TEST(SeamCommand, Failures) {
    Loops loops;
    const std::string single = loops.dir.file("one.wav");
    test::writeAudio(single, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {0.5});
    const std::string usage =
        "Usage: " + test::seamExecutable() +
        " [--format text|tsv|json] [--whole] [--svg PICTURE | --svg-dir DIR] [--shared-scale] [--html PAGE] LOOP...\n";
    const std::string missing = loops.dir.file("missing.wav");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, usage},
        {{"--frobnicate", loops.smooth}, "Error: unknown option \"--frobnicate\".\n" + usage},
        {{"--format", "xml", loops.smooth}, "Error: unknown format \"xml\"; choose text, tsv or json.\n" + usage},
        {{loops.smooth, "--svg"}, "Error: option --svg needs a value.\n" + usage},
        {{"--svg", "a.svg", loops.smooth, loops.cut}, "Error: --svg draws one loop; for several, use --svg-dir.\n" + usage},
        {{missing}, missing + ": Error opening input file: System error : No such file or directory.\n"},
        {{single}, single + ": Error: loop must have at least 2 frames to judge its seam.\n"},
        {{"--svg", loops.dir.file("no such dir/seam.svg"), loops.smooth},
         "Error writing picture file " + loops.dir.file("no such dir/seam.svg") + ": No such file or directory\n"},
    };
    for (const auto& c : cases) {
        const ProgramResult r = runSeamExecutable(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(SeamCommand, DrawsEachLoopButNeverOverOne) {
    Loops loops;
    const std::string pictures = loops.dir.file("pictures");
    std::filesystem::create_directory(pictures);
    const ProgramResult drawn = runSeamExecutable({"--svg-dir", pictures, loops.smooth, loops.cut});
    EXPECT_EQ(drawn.status, 1) << drawn.err;
    EXPECT_TRUE(std::filesystem::exists(pictures + "/smooth loop.wav.svg"));
    EXPECT_TRUE(std::filesystem::exists(pictures + "/cut.flac.svg"));

    const test::Bytes before = test::readBytes(loops.cut);
    std::filesystem::create_symlink(loops.cut, loops.dir.file("link.svg"));
    std::filesystem::create_hard_link(loops.cut, loops.dir.file("hard.svg"));
    for (const std::string& picture : {loops.cut, loops.dir.file("link.svg"), loops.dir.file("hard.svg")}) {
        const ProgramResult r = runSeamExecutable({"--svg", picture, loops.cut});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "Error: picture file " + picture + " is the loop itself; choose another name.\n");
        EXPECT_TRUE(test::readBytes(loops.cut) == before) << picture;
    }
    // A FIFO that nobody reads is refused at once, not waited on.
    const std::string fifo = loops.dir.file("fifo.svg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const ProgramResult r = runSeamExecutable({"--svg", fifo, loops.cut});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Error writing picture file " + fifo + ": it is a FIFO that no program is reading.\n");
}

} // namespace
} // namespace sorvane
