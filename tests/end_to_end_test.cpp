// Runs the real sorvane executable on files written here and read back.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loops/loop_mode.hpp"
#include "test_support.hpp"

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using test::ProgramResult;
using test::runSorvaneExecutable;
using test::TempDir;

const std::string kUsageTail = " <input audio file> <output audio file> "
                               "<CROSSFADE|PINGPONG|ZEROCROSSING> [crossfade length percent]\n";
const std::string kModeHelp = "Valid modes are: CROSSFADE, PINGPONG, ZEROCROSSING\n";
const std::string kPercentError = "Cross fade length must be a number between 0 and 100 %\n";

std::string report(const std::string& in, const std::string& out, std::uint64_t frames) {
    return "Successfully processed audio.\nInput:  " + in + "\nOutput: " + out +
           "\nBuffer: " + std::to_string(frames) + " sample frames\n";
}

// What libsndfile itself says when it cannot open `path` for reading.
std::string libraryOpenError(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_EQ(file, nullptr);
    if (file != nullptr) {
        sf_close(file);
    }
    return sf_strerror(nullptr);
}

std::pair<ChannelBuffer, ChannelBuffer> splitChannels(const std::vector<double>& interleaved, int channels) {
    const auto c = static_cast<std::size_t>(channels);
    ChannelBuffer left(interleaved.size() / c);
    ChannelBuffer right(left.size(), 0.0);
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = interleaved[i * c];
        if (c > 1) {
            right[i] = interleaved[i * c + 1];
        }
    }
    return {left, right};
}

class UsageTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(UsageTest, WrongArgumentCountPrintsUsageWithTheNameAsGivenAndTouchesNothing) {
    TempDir dir;
    const std::string input = dir.file("in.wav");
    test::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {0.25, -0.25});
    const std::string before = test::readTextFile(input);

    std::vector<std::string> args = GetParam();
    for (std::string& a : args) {
        if (a == "IN") a = input;
        if (a == "OUT") a = dir.file("out.wav");
    }
    // Under a wrapper such as valgrind the name shown is the executable's path.
    const std::string argv0 = test::runningUnderWrapper() ? test::sorvaneExecutable() : "./my tools/sörvane";
    test::RunOptions named;
    named.argv0 = argv0;
    const ProgramResult r = test::runProgram(test::sorvaneExecutable(), args, named);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Sorvane generator by Kettrick.\nUsage: " + argv0 + kUsageTail);
    EXPECT_EQ(test::readTextFile(input), before);
    EXPECT_FALSE(fs::exists(dir.file("out.wav")));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, UsageTest,
    ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"IN"},
                      std::vector<std::string>{"IN", "OUT"},
                      std::vector<std::string>{"IN", "OUT", "PINGPONG", "15", "extra"}));

class UnknownModeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(UnknownModeTest, EchoesTheKeywordExactlyAsTyped) {
    const ProgramResult r = runSorvaneExecutable({"/no/such/in.wav", "/no/such/out.wav", GetParam(), "500"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: unknown mode \"" + GetParam() + "\".\n" + kModeHelp);
}

INSTANTIATE_TEST_SUITE_P(Keywords, UnknownModeTest,
                         ::testing::Values(" pingpong", "ping-pong", "", "CROSSFADE ", "Zero Crossing",
                                           "Überloop"));

TEST(EndToEnd, BadPercentIsReportedBeforeTheInputIsOpened) {
    for (const char* mode : {"PINGPONG", "zerocrossing", "Crossfade"}) {
        const ProgramResult r = runSorvaneExecutable({"/no/such/in.wav", "/no/such/out.wav", mode, "15%"});
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_EQ(r.err, kPercentError) << mode;
    }
}

TEST(EndToEnd, PathsThatLookLikeOptionsAreRefusedAndNothingIsWritten) {
    TempDir dir;
    const std::string input = dir.file("in.wav");
    test::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, test::distinctStereo(100));
    const fs::path here = fs::current_path();
    fs::current_path(dir.path());
    const ProgramResult asOutput = runSorvaneExecutable({input, "--help", "pingpong"});
    const ProgramResult asInput = runSorvaneExecutable({"-v", "out.wav", "pingpong"});
    const ProgramResult spelledAsPath = runSorvaneExecutable({input, "./--help", "pingpong"});
    fs::current_path(here);
    EXPECT_EQ(asOutput.status, 1);
    EXPECT_EQ(asOutput.err, "Error: output file \"--help\" looks like an option; sorvane takes none. "
                            "For a file of that name, write ./--help.\n");
    EXPECT_EQ(asInput.status, 1);
    EXPECT_EQ(asInput.err, "Error: input file \"-v\" looks like an option; sorvane takes none. "
                           "For a file of that name, write ./-v.\n");
    EXPECT_EQ(spelledAsPath.status, 0) << spelledAsPath.err;
    EXPECT_EQ(test::entriesOf(dir.path().string()), (std::vector<std::string>{"--help", "in.wav"}));
}

// The demo's plucked string at Vorbis's lowest quality, looped with a
// crossfade: smooth as built, but the encoder breaks the seam, and the run
// says so, naming the file; the same loop as FLAC keeps it and says nothing.
TEST(EndToEnd, ASeamTheLossyEncoderBreaksIsSaid) {
    TempDir dir;
    const std::string example = dir.file("example.wav");
    ASSERT_EQ(test::runProgram(test::exampleMaker(), {example}).status, 0);
    const std::string input = dir.file("example.ogg");
    {
        const test::AudioFile pluck = test::readAudio(example);
        SF_INFO info{};
        info.samplerate = pluck.info.samplerate;
        info.channels = pluck.info.channels;
        info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        SNDFILE* file = sf_open(input.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        double lowest = 1.0;
        sf_command(file, SFC_SET_COMPRESSION_LEVEL, &lowest, sizeof lowest);
        sf_writef_double(file, pluck.samples.data(), pluck.info.frames);
        sf_close(file);
    }
    const std::string ogg = dir.file("loop.ogg");
    const ProgramResult lossy = runSorvaneExecutable({input, ogg, "CROSSFADE"});
    EXPECT_EQ(lossy.status, 0);
    EXPECT_EQ(lossy.err, "Warning: " + ogg + ": the seam, smooth as built, is a likely click as written: the lossy "
                                          "encoder broke it; a lossless format (FLAC, WAV) keeps it.\n");
    EXPECT_EQ(lossy.out.rfind("Successfully processed audio.\n", 0), 0u);
    const ProgramResult lossless = runSorvaneExecutable({input, dir.file("loop.flac"), "CROSSFADE"});
    EXPECT_EQ(lossless.status, 0);
    EXPECT_EQ(lossless.err, "");
}

TEST(EndToEnd, MissingAndNonAudioInputsReportLibsndfilesText) {
    TempDir dir;
    const std::string missing = dir.file("missing.wav");
    const std::string text = dir.file("notes.wav");
    std::ofstream(text) << "these are not samples, only a shopping list\n";

    for (const std::string& input : {missing, text, dir.path().string()}) {
        const ProgramResult r = runSorvaneExecutable({input, dir.file("out.wav"), "pingpong"});
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error opening input file: " + libraryOpenError(input) + "\n") << input;
        EXPECT_FALSE(fs::exists(dir.file("out.wav")));
    }
}

TEST(EndToEnd, RejectsInputsWithMoreThanTwoChannels) {
    TempDir dir;
    const std::string input = dir.file("six.wav");
    test::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 6, std::vector<double>(60, 0.125));
    const ProgramResult r = runSorvaneExecutable({input, dir.file("out.wav"), "PINGPONG"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: input file must be stereo or mono.\nInput contains 6 channel(s).\n");
    EXPECT_FALSE(fs::exists(dir.file("out.wav")));
}

TEST(EndToEnd, ZeroCrossingWithoutARisingCrossingFailsAndCreatesNoFile) {
    TempDir dir;
    const std::string input = dir.file("falling.wav");
    test::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2, {0.5, 0.25, 0.25, 0.0, -0.5, -0.25});
    const ProgramResult r = runSorvaneExecutable({input, dir.file("out.wav"), "ZEROCROSSING"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: no zero-crossing found in input file.\n");
    EXPECT_FALSE(fs::exists(dir.file("out.wav")));
}

TEST(EndToEnd, FullCrossfadeWritesAnEmptyFileAndReportsNoFrames) {
    TempDir dir;
    const std::string input = dir.file("in.aiff");
    const std::string output = dir.file("out.aiff");
    test::writeAudio(input, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 32000, 2, test::distinctStereo(300));
    const ProgramResult r = runSorvaneExecutable({input, output, "crossfade", "100"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, report(input, output, 0));
    const test::AudioFile file = test::readAudio(output);
    EXPECT_EQ(file.info.frames, 0);
    EXPECT_EQ(file.info.format, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
}

TEST(EndToEnd, ReportsPathsWithSpacesAndNonAsciiLettersExactly) {
    TempDir dir;
    fs::create_directory(dir.path() / "Field recordings — Ålesund");
    const std::string input = dir.file("Field recordings — Ålesund/gull über pier.wav");
    const std::string output = dir.file("Field recordings — Ålesund/løop ñ 1.wav");
    test::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, test::distinctStereo(100));
    const ProgramResult r = runSorvaneExecutable({input, output, "PingPong", "33.3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, report(input, output, 200));
}

TEST(EndToEnd, CrossfadeWorkedExampleSurvivesTheFileRoundTripBitForBit) {
    TempDir dir;
    const std::string input = dir.file("ramp.wav");
    const std::string output = dir.file("loop.wav");
    std::vector<double> ramp(16);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<double>(i) / 100.0;
    }
    test::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 44100, 1, ramp);
    const ProgramResult r = runSorvaneExecutable({input, output, "CROSSFADE", "25"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, report(input, output, 12));
    const test::AudioFile file = test::readAudio(output);
    ASSERT_EQ(file.samples.size(), 12u);
    EXPECT_EQ(file.samples[8], 0.12);
    EXPECT_EQ(file.samples[9], 0.11758330047130586);
    EXPECT_EQ(file.samples[10], 0.11313708305358887);
    EXPECT_EQ(file.samples[11], 0.10098076164722442);
}

TEST(EndToEnd, SameFileAsInputAndOutputIsOverwrittenWithTheLoop) {
    TempDir dir;
    const std::string path = dir.file("take.wav");
    const std::vector<double> samples = test::distinctStereo(500);
    test::writeAudio(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2, samples);
    const test::AudioFile original = test::readAudio(path);
    const ProgramResult r = runSorvaneExecutable({path, path, "pingpong"});
    ASSERT_EQ(r.status, 0) << r.err;
    const test::AudioFile looped = test::readAudio(path);
    ASSERT_EQ(looped.info.frames, 1000);
    EXPECT_EQ(test::framesOf(looped.samples, 2, 0, 499), original.samples);
    EXPECT_EQ(test::framesOf(looped.samples, 2, 500, 999), test::framesOf(original.samples, 2, 499, 0));
}

// One step of an integer encoding in libsndfile's scaling (the largest
// rounding error of a stored blend), or 0 for floating-point encodings.
double storageStep(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return 1.0 / 128.0;
    case SF_FORMAT_PCM_16:
        return 1.0 / 32768.0;
    case SF_FORMAT_PCM_24:
        return 1.0 / 8388608.0;
    case SF_FORMAT_PCM_32:
        return 1.0 / 2147483648.0;
    default:
        return 0.0;
    }
}

// A computed sample as a floating-point encoding stores it.
double storedAs(int format, double sample) {
    return (format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT ? static_cast<float>(sample) : sample;
}

// The output's name decides its format, with the nearest encoding that keeps
// the input's resolution; a name that says none keeps the input's format.
// The rate and channels are always the input's, and the samples read back
// are the builder's, to the output's own resolution.
struct FormatCase {
    const char* name;
    int format;
    int sampleRate;
    int channels;
    const char* outputName;
    int outputFormat;
    bool lossless;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, OutputTakesTheFormatItsNameSays) {
    const FormatCase& c = GetParam();
    TempDir dir;
    const std::string input = dir.file("input");
    std::vector<double> samples = test::distinctStereo(3000);
    if (c.channels == 1) {
        // The right signal alone: it crosses zero, so every mode has a loop.
        for (std::size_t i = 0; i < 3000; ++i) {
            samples[i] = samples[2 * i + 1];
        }
        samples.resize(3000);
    }
    test::writeAudio(input, c.format, c.sampleRate, c.channels, samples);
    const test::AudioFile in = test::readAudio(input);
    const auto [left, right] = splitChannels(in.samples, c.channels);

    for (const LoopModeInfo& info : kLoopModes) {
        const struct {
            const char* keyword;
            InterleavedBuffer expected;
        } mode{info.keyword, wholeLoop(*makeLoop(info.mode, left, right, c.channels))};
        const std::string output = dir.file(mode.keyword + std::string(" ") + c.outputName);
        const ProgramResult r = runSorvaneExecutable({input, output, mode.keyword});
        ASSERT_EQ(r.status, 0) << mode.keyword << ": " << r.err;
        const auto frames = mode.expected.size() / static_cast<std::size_t>(c.channels);
        EXPECT_EQ(r.out, report(input, output, frames));
        const test::AudioFile out = test::readAudio(output);
        EXPECT_EQ(out.info.format, c.outputFormat) << mode.keyword;
        EXPECT_EQ(out.info.samplerate, c.sampleRate) << mode.keyword;
        EXPECT_EQ(out.info.channels, c.channels) << mode.keyword;
        if (!c.lossless) {
            continue;
        }
        ASSERT_EQ(out.samples.size(), mode.expected.size()) << mode.keyword;
        // Copies come back exactly at the input's resolution; the crossfade's
        // blend, and everything at a coarser one, to the output's own step.
        const bool exact = mode.keyword != std::string("CROSSFADE") &&
                           storageStep(c.outputFormat) <= storageStep(c.format) &&
                           (storageStep(c.format) != 0.0 || storageStep(c.outputFormat) == 0.0);
        const double step = storageStep(c.outputFormat);
        for (std::size_t i = 0; i < out.samples.size(); ++i) {
            const double want = exact ? mode.expected[i] : storedAs(c.outputFormat, mode.expected[i]);
            if (exact || step == 0.0) {
                ASSERT_EQ(out.samples[i], want) << mode.keyword << " " << i;
            } else {
                ASSERT_NEAR(out.samples[i], mode.expected[i], step) << mode.keyword << " " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatTest,
    ::testing::Values(
        FormatCase{"wav16ToFlac", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, "loop.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, true},
        FormatCase{"wavU8MonoToAu", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8000, 1, "loop.au", SF_FORMAT_AU | SF_FORMAT_PCM_S8, true},
        FormatCase{"aiff24ToWav", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 96000, 2, "loop.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, true},
        FormatCase{"flac16MonoUnnamed", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 1, "loop", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, true},
        FormatCase{"auFloatToFlac", SF_FORMAT_AU | SF_FORMAT_FLOAT, 48000, 2, "loop.FLAC", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, true},
        FormatCase{"w64DoubleNamedNoFormat", SF_FORMAT_W64 | SF_FORMAT_DOUBLE, 11025, 2, "loop.take2", SF_FORMAT_W64 | SF_FORMAT_DOUBLE, true},
        FormatCase{"cafPcm32ToAiff", SF_FORMAT_CAF | SF_FORMAT_PCM_32, 88200, 2, "loop.aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_32, true},
        FormatCase{"rifx16ToWav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_BIG, 44100, 1, "loop.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_BIG, true},
        FormatCase{"wav16ToOgg", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, "loop.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, false},
        FormatCase{"oggVorbisToOpus", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 2, "loop.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, false},
        FormatCase{"wav24ToMp3", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 2, "loop.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, false}),
    [](const ::testing::TestParamInfo<FormatCase>& param) { return std::string(param.param.name); });

// Integer PCM passed through a copying mode must come back as the very same
// integers, full-scale negative and positive included.
struct PcmCase {
    const char* name;
    int format;
    int bits;
};

void PrintTo(const PcmCase& c, std::ostream* os) { *os << c.name; }

class PcmRoundTripTest : public ::testing::TestWithParam<PcmCase> {};

TEST_P(PcmRoundTripTest, CopyingModesGiveBackTheInputsIntegers) {
    const PcmCase& c = GetParam();
    const std::int64_t top = (std::int64_t{1} << (c.bits - 1)) - 1;
    const int shift = 32 - c.bits;
    // libsndfile hands integer samples over left-aligned in 32 bits.
    auto aligned = [&](std::int64_t v) { return static_cast<std::int32_t>(v * (std::int64_t{1} << shift)); };

    std::vector<std::int32_t> ints;
    test::Lcg random(12345);
    // Long enough that every loop goes out in several hand-overs to the
    // writing thread before the header is written again at the close.
    for (std::size_t i = 0; i < 40000; ++i) {
        const std::uint64_t state = random.next();
        const auto span = static_cast<std::uint64_t>(2 * top + 2);
        std::int64_t l = static_cast<std::int64_t>((state >> 20) % span) - top - 1;
        std::int64_t r = static_cast<std::int64_t>((state >> 8) % span) - top - 1;
        if (i % 7 == 0) l = -top - 1;
        if (i % 11 == 0) r = top;
        if (i % 13 == 0) l = top;
        if (i % 17 == 0) r = -top - 1;
        ints.push_back(aligned(l));
        ints.push_back(aligned(r));
    }
    TempDir dir;
    const std::string input = dir.file("in");
    test::writeAudioInts(input, c.format, 44100, 2, ints);
    ASSERT_EQ(test::readAudioInts(input), ints) << "fixture did not store exactly";

    ChannelBuffer left(ints.size() / 2);
    ChannelBuffer right(left.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = ints[2 * i];
        right[i] = ints[2 * i + 1];
    }
    for (const char* mode : {"PINGPONG", "ZEROCROSSING"}) {
        const std::string output = dir.file(std::string("out-") + mode);
        const ProgramResult r = runSorvaneExecutable({input, output, mode});
        ASSERT_EQ(r.status, 0) << mode << ": " << r.err;
        const InterleavedBuffer expected = wholeLoop(*makeLoop(*parseLoopMode(mode), left, right, 2));
        ASSERT_FALSE(expected.empty());
        const std::vector<std::int32_t> got = test::readAudioInts(output);
        ASSERT_EQ(got.size(), expected.size()) << mode;
        std::size_t changed = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            changed += static_cast<double>(got[i]) != expected[i] ? 1 : 0;
        }
        EXPECT_EQ(changed, 0u) << mode << ": samples changed in the round trip";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, PcmRoundTripTest,
    ::testing::Values(PcmCase{"wavU8", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8},
                      PcmCase{"wav16", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16},
                      PcmCase{"wav24", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 24},
                      PcmCase{"wav32", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 32},
                      PcmCase{"aiff8", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8, 8},
                      PcmCase{"aiff16", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 16},
                      PcmCase{"aiff24", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 24},
                      PcmCase{"aiff32", SF_FORMAT_AIFF | SF_FORMAT_PCM_32, 32},
                      PcmCase{"flac8", SF_FORMAT_FLAC | SF_FORMAT_PCM_S8, 8},
                      PcmCase{"flac16", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16},
                      PcmCase{"flac24", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 24}),
    [](const ::testing::TestParamInfo<PcmCase>& param) { return std::string(param.param.name); });

} // namespace
} // namespace sorvane
