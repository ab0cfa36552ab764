#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/tpropertymap.h>

#include "test_support.hpp"

namespace sorvane {
namespace {

using test::NoteShape;
using test::ProgramResult;
using test::TempDir;

ProgramResult runSustain(const std::vector<std::string>& args) {
    return test::runProgram(test::sustainExecutable(), args);
}

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
const NoteShape kNote{48000, 2, 196.0, 3.0, 0.003, 0.001};

TEST(SustainExecutable, WritesTheWholeNoteWithItsLoopAndSaysWhere) {
    TempDir dir;
    const std::string in = dir.file("violin.wav");
    test::writeAudio(in, kWav16, 48000, 2, test::sustainedNote(kNote));
    const std::string out = dir.file("looped.wav");
    const ProgramResult r = runSustain({in, out, "--sfz", dir.file("violin.sfz")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    unsigned long start = 0;
    unsigned long last = 0;
    const std::size_t at = r.out.find("SFZ:       loop_mode=loop_sustain");
    ASSERT_NE(at, std::string::npos) << r.out;
    ASSERT_EQ(std::sscanf(r.out.c_str() + at, "SFZ: loop_mode=loop_sustain loop_start=%lu loop_end=%lu", &start,
                          &last),
              2);
    EXPECT_NE(r.out.find("Pitch:     G3 "), std::string::npos) << r.out;
    EXPECT_EQ(test::readTextFile(dir.file("violin.sfz")),
              "// made by sorvane-sustain from " + in + "\n<region>\nsample=looped.wav\npitch_keycenter=55\ntune=0\n" +
                  "loop_mode=loop_sustain loop_start=" + std::to_string(start) +
                  " loop_end=" + std::to_string(last) + "\n");

    // The attack is kept bit for bit, and the file says where the loop is.
    SF_INFO info{};
    const std::vector<std::int32_t> read = test::readAudioInts(in);
    const std::vector<std::int32_t> written = test::readAudioInts(out, &info);
    ASSERT_EQ(written.size(), read.size());
    EXPECT_TRUE(std::equal(read.begin(), read.begin() + static_cast<std::ptrdiff_t>(2 * start), written.begin()));
    SNDFILE* file = sf_open(out.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    SF_INSTRUMENT instrument{};
    EXPECT_EQ(sf_command(file, SFC_GET_INSTRUMENT, &instrument, sizeof instrument), SF_TRUE);
    sf_close(file);
    EXPECT_EQ(instrument.loops[0].start, start);
    EXPECT_EQ(instrument.loops[0].end, last + 1);
}

TEST(SustainExecutable, MarksTheLoopInPlaceLeavingNothingElse) {
    TempDir dir;
    const std::string note = dir.file("flute.flac");
    test::writeAudio(note, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1,
                     test::sustainedNote({44100, 1, 587.33, 2.5, 0.002, 0.0}));
    const std::vector<std::int32_t> before = test::readAudioInts(note);
    const ProgramResult r = runSustain({note, note, "--no-crossfade"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Crossfade: none (--no-crossfade)"), std::string::npos) << r.out;
    EXPECT_EQ(test::readAudioInts(note), before); // no blend: every sample as it was
    EXPECT_EQ(test::entriesOf(dir.path().string()), std::vector<std::string>{"flute.flac"});
    const std::size_t at = r.out.find("loop_start=");
    ASSERT_NE(at, std::string::npos);
    const TagLib::FileRef tagged(note.c_str());
    ASSERT_FALSE(tagged.isNull());
    EXPECT_EQ(tagged.file()->properties()["LOOPSTART"].toString().to8Bit(),
              r.out.substr(at + 11, r.out.find(' ', at) - at - 11));
}

struct SfzPathCase {
    const char* name;
    const char* output; // in the test's folder; "note.wav" is in place
    const char* sfz;
    const char* reason; // after "Error"
};

void PrintTo(const SfzPathCase& c, std::ostream* os) { *os << c.name; }

class SfzPathTest : public ::testing::TestWithParam<SfzPathCase> {};

// An SFZ path that names a sound, by any spelling and whether or not it
// exists yet, or that cannot be written, is refused before anything is
// written: the note stays as it was and nothing is left behind.
TEST_P(SfzPathTest, IsRefusedBeforeAnythingIsWritten) {
    const SfzPathCase& c = GetParam();
    TempDir dir;
    const std::string note = dir.file("note.wav");
    test::writeAudio(note, kWav16, 48000, 2, test::sustainedNote(kNote));
    const test::Bytes before = test::readBytes(note);
    const std::string sfz = dir.file(c.sfz);
    const ProgramResult r = runSustain({note, dir.file(c.output), "--sfz", sfz});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(c.reason).find("SFZ file") == 0
                         ? "Error: " + std::string(c.reason).replace(9, 4, sfz) + "\n"
                         : "Error writing SFZ file " + sfz + ": " + c.reason + "\n");
    EXPECT_TRUE(test::readBytes(note) == before);
    EXPECT_EQ(test::entriesOf(dir.path().string()), std::vector<std::string>{"note.wav"});
}

INSTANTIATE_TEST_SUITE_P(
    Table, SfzPathTest,
    ::testing::Values(
        SfzPathCase{"theOutputYetToBe", "out.wav", "out.wav", "SFZ file PATH is one of the sound files; choose another name."},
        SfzPathCase{"theOutputSpelledOtherwise", "out.wav", "./sub/../out.wav",
                    "SFZ file PATH is one of the sound files; choose another name."},
        SfzPathCase{"aMissingFolderInPlace", "note.wav", "missing/note.sfz",
                    "System error : No such file or directory. Nothing was written."}),
    [](const ::testing::TestParamInfo<SfzPathCase>& param) { return std::string(param.param.name); });

struct FailureCase {
    const char* name;
    const char* file;
    int format;
    int channels;
    NoteShape note;
    std::vector<std::string> options;
    std::string message; // after the input's path: the first line or all
    bool aboutOutput = false; // after the output's path instead
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class SustainFailures : public ::testing::TestWithParam<FailureCase> {};

// Every failure says why in the program's words, ends with status 1 and
// leaves nothing behind, neither an output nor a temporary file.
TEST_P(SustainFailures, SayWhyAndWriteNothing) {
    const FailureCase& c = GetParam();
    TempDir dir;
    const std::string in = dir.file(c.file);
    NoteShape shape = c.note;
    shape.channels = 1;
    std::vector<double> samples;
    for (double v : test::sustainedNote(shape)) {
        samples.insert(samples.end(), static_cast<std::size_t>(c.channels), v);
    }
    test::writeAudio(in, c.format, shape.sampleRate, c.channels, samples);
    std::vector<std::string> args = {in, dir.file("out")};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ProgramResult r = runSustain(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::string about = c.aboutOutput ? args[1] : in;
    EXPECT_EQ(r.err.substr(0, about.size() + 2 + c.message.size()), about + ": " + c.message) << r.err;
    EXPECT_EQ(test::entriesOf(dir.path().string()), std::vector<std::string>{c.file});
}

INSTANTIATE_TEST_SUITE_P(
    Table, SustainFailures,
    ::testing::Values(
        FailureCase{"silence", "silence.wav", kWav16, 1, {44100, 1, 0.0, 2.0, 0.0, 0.0}, {},
                    "Error: the sound is silent: there is nothing to loop; nothing was written.\n"},
        FailureCase{"noRoomForTheLoop", "short.wav", kWav16, 2, kNote, {"--min-length", "2.8"},
                    "Error: no sustain long enough for a loop of 2.800 s (the sustain runs from 0.100 s to 2.700 s); "
                    "nothing was written.\n"},
        FailureCase{"formatWithoutLoops", "note.au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 1, kNote, {},
                    "Error: AU (Sun/NeXT) files cannot carry loop points; nothing was written. Name the output "
                    ".wav, .aiff, .flac, .ogg or .opus.\n", true},
        FailureCase{"mp3", "note.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 2, kNote, {},
                    "Error: MPEG-1/2 Audio files cannot carry loop points; nothing was written. Name the output "
                    ".wav, .aiff, .flac, .ogg or .opus.\n", true},
        FailureCase{"threeChannels", "surround.wav", kWav16, 3, kNote, {},
                    "Error: input file must be stereo or mono.\n"}),
    [](const ::testing::TestParamInfo<FailureCase>& param) { return std::string(param.param.name); });

TEST(SustainExecutable, RefusesWhatItCannotDoBeforeReadingAnything) {
    const std::string usage = "Usage: " + test::sustainExecutable() + " [options] IN OUT\n";
    struct {
        std::vector<std::string> args;
        std::string err;
    } const cases[] = {
        {{"a.wav"}, usage},
        {{"a.wav", "b.wav", "c.wav"}, "Error: give one input and one output.\n" + usage},
        {{"--crossfade", "abc", "a.wav", "b.wav"}, "Error: --crossfade takes a number greater than 0, not \"abc\".\n" + usage},
        {{"a.wav", "b.wav", "--crossfade=0"}, "Error: --crossfade takes a number greater than 0, not \"0\".\n" + usage},
        {{"--no-crossfade=1", "a.wav", "b.wav"}, "Error: option --no-crossfade takes no value.\n" + usage},
        {{"--start", "2", "--end", "1", "a.wav", "b.wav"}, "Error: --end must come after --start.\n" + usage},
        {{"a.wav", "-"}, "Error: the loop points need a file; standard output cannot be read back.\n"},
    };
    for (const auto& c : cases) {
        const ProgramResult r = runSustain(c.args);
        EXPECT_EQ(r.status, 1) << c.args.back();
        if (!test::runningUnderWrapper()) {
            EXPECT_EQ(r.err, c.err);
        }
    }
    for (const char* flag : {"--help", "-h"}) {
        const ProgramResult help = runSustain({"a.wav", flag});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u);
    }
    EXPECT_EQ(runSustain({"--version"}).out, "sorvane-sustain " SORVANE_VERSION "\n");
}

} // namespace
} // namespace sorvane
