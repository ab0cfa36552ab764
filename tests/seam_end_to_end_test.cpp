// Runs the real sorvane-seam executable.
#include <cmath>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace sorvane {
namespace {

using test::ProgramResult;
using test::TempDir;

ProgramResult runSeamExecutable(const std::vector<std::string>& args) {
    return test::runProgram(test::seamExecutable(), args);
}

TEST(SeamCommand, PrintsTheNumbersOfATinyLoop) {
    TempDir dir;
    const std::string loop = dir.file("tiny loop.wav");
    test::writeAudio(loop, SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 8000, 1, {0.0, 0.125, 0.375, 0.5, 0.5, 0.25});
    const ProgramResult r = runSeamExecutable({loop});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Loop:   " + loop + "\nFrames: 6 at 8000 Hz\n"
                     "mono: seam step -0.250000; steps: median 0.125000, 99th percentile 0.250000; "
                     "seam +0.0 dB re 99th percentile\n"
                     "  near the seam: 99th percentile 0.250000; seam +0.0 dB\n"
                     "seam: smooth\n");
}

TEST(SeamCommand, JudgesEachChannelOfAStereoLoop) {
    TempDir dir;
    const std::string loop = dir.file("cut.flac");
    // Left: a slow ramp that wraps smoothly; right: a ramp cut at its top.
    std::vector<double> samples;
    for (int i = 0; i < 400; ++i) {
        samples.push_back(0.25 * std::sin(i * 6.283185307179586 / 400.0));
        samples.push_back(static_cast<double>(i) / 500.0);
    }
    test::writeAudio(loop, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 2, samples);
    const ProgramResult r = runSeamExecutable({loop});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nleft: seam step"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\nleft: seam step -0.798"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nright: seam step -0.798000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" dB; click\nseam: likely click\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("dB; click\nright"), std::string::npos) << "left judged a click:\n" << r.out;
}

TEST(SeamCommand, Failures) {
    TempDir dir;
    const std::string single = dir.file("one.wav");
    test::writeAudio(single, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {0.5});
    const std::string good = dir.file("good.wav");
    test::writeAudio(good, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {0.5, 0.25, 0.0});

    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, "Usage: " + test::seamExecutable() + " <loop audio file> [picture.svg]\n"},
        {{good, "a.svg", "extra"}, "Usage: " + test::seamExecutable() + " <loop audio file> [picture.svg]\n"},
        {{dir.file("missing.wav")}, "Error opening input file: System error : No such file or directory.\n"},
        {{single}, "Error: loop must have at least 2 frames to judge its seam.\n"},
        {{good, dir.file("no such dir/seam.svg")}, "Error writing picture file: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        const ProgramResult r = runSeamExecutable(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(SeamCommand, RefusesAPicturePathThatNamesTheLoop) {
    TempDir dir;
    const std::string loop = dir.file("pad.flac");
    test::writeAudio(loop, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, test::distinctStereo(1000));
    const test::Bytes before = test::readBytes(loop);
    std::filesystem::create_symlink(loop, dir.file("link.svg"));
    std::filesystem::create_hard_link(loop, dir.file("hard.svg"));
    for (const std::string& picture : {loop, dir.file("link.svg"), dir.file("hard.svg")}) {
        const ProgramResult r = runSeamExecutable({loop, picture});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error: picture file " + picture + " is the loop itself; choose another name.\n");
        EXPECT_TRUE(test::readBytes(loop) == before) << picture;
    }
}

} // namespace
} // namespace sorvane
