// Truncated, mislabelled and crafted files through the real executable: each
// ends with status 0 or 1 and the program's own messages, never a signal.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::TempDir;

// A valid file of `frames` frames of a sine, as libsndfile writes it.
Bytes validFile(const TempDir& dir, int format, int channels, std::size_t frames, int sampleRate = 44100) {
    const std::string path = dir.file("valid");
    std::vector<double> samples(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = 0.5 * std::sin(static_cast<double>(i) * 0.1);
    }
    test::writeAudio(path, format, sampleRate, channels, samples);
    return test::readBytes(path);
}

std::size_t offsetOf(const Bytes& bytes, const char* id) {
    for (std::size_t i = 0; i + 4 <= bytes.size(); ++i) {
        if (std::memcmp(&bytes[i], id, 4) == 0) {
            return i;
        }
    }
    ADD_FAILURE() << "no " << id << " in the fixture";
    return 0;
}

void putLittle(Bytes& b, std::size_t at, std::uint64_t value, int size) {
    for (int k = 0; k < size; ++k) {
        b[at + static_cast<std::size_t>(k)] = static_cast<unsigned char>(value >> (8 * k));
    }
}

void putBig(Bytes& b, std::size_t at, std::uint64_t value, int size) {
    for (int k = 0; k < size; ++k) {
        b[at + static_cast<std::size_t>(k)] = static_cast<unsigned char>(value >> (8 * (size - 1 - k)));
    }
}

// FLAC's STREAMINFO: sample rate (20 bits), channels (3), bits (5) and the
// total sample count (36) share the big-endian 64 bits at byte 18.
void patchFlacStreamInfo(Bytes& b, std::uint64_t keepMask, std::uint64_t value) {
    std::uint64_t word = 0;
    for (std::size_t k = 0; k < 8; ++k) {
        word = (word << 8) | b[18 + k];
    }
    putBig(b, 18, (word & keepMask) | value, 8);
}

constexpr std::uint64_t kFlacTotalMask = (std::uint64_t{1} << 36) - 1;

using Craft = std::function<Bytes(const TempDir&)>;

struct HostileCase {
    const char* name;
    Craft craft;
    int status;
    std::string err;          // the whole of standard error, or its end when `errEndsWith`
    bool errEndsWith = false; // some decoders print notes of their own first
    std::uint64_t frames = 0; // the loop's length on success (PINGPONG: twice the input)
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

// A valid file with `patch` applied to its bytes.
Craft patched(int format, int channels, std::size_t frames, std::function<void(Bytes&)> patch) {
    return [=](const TempDir& d) {
        Bytes b = validFile(d, format, channels, frames);
        patch(b);
        return b;
    };
}

Craft withWavDataSize(std::uint32_t size) {
    return patched(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1000,
                   [size](Bytes& b) { putLittle(b, offsetOf(b, "data") + 4, size, 4); });
}

const HostileCase kCases[] = {
    {"wavDataSizeZero", withWavDataSize(0), 0, "", false, 0},
    {"wavDataSizeTooSmall", withWavDataSize(1), 0, "", false, 0},
    {"wavDataSizeTooLarge", withWavDataSize(1000000), 0, "", false, 2000},
    {"wavDataSizeAllOnes", withWavDataSize(0xFFFFFFFF), 0, "", false, 2000},
    {"wavRiffSizeAllOnes",
     patched(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { putLittle(b, 4, 0xFFFFFFFF, 4); }),
     0, "", false, 2000},
    {"wavCutInHeader",
     patched(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { b.resize(30); }),
     1, "Error opening input file: Error in WAV file. No 'data' chunk marker.\n"},
    {"wavCutInData",
     patched(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { b.resize(44 + 401); }),
     0, "", false, 200},
    {"aiffFrameCountAllOnes",
     patched(SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { putBig(b, offsetOf(b, "COMM") + 10, 0xFFFFFFFF, 4); }),
     0, "", false, 2000},
    {"aiffSoundSizeZero",
     patched(SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { putBig(b, offsetOf(b, "SSND") + 4, 0, 4); }),
     0, "", false, 2000},
    {"aiffCutInData",
     patched(SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 1, 1000,
             [](Bytes& b) { b.resize(b.size() - 1000); }),
     0, "", false, 1332},
    {"auDataSizeZero",
     patched(SF_FORMAT_AU | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { putBig(b, 8, 0, 4); }),
     0, "", false, 0},
    {"auDataSizeUnknown",
     patched(SF_FORMAT_AU | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { putBig(b, 8, 0xFFFFFFFF, 4); }),
     0, "", false, 2000},
    {"w64DataSizeZero",
     patched(SF_FORMAT_W64 | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { putLittle(b, offsetOf(b, "data") + 16, 0, 8); }),
     0, "", false, 2000},
    {"w64DataSizeTooLarge",
     patched(SF_FORMAT_W64 | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { putLittle(b, offsetOf(b, "data") + 16, 0xFFFFFFFF, 8); }),
     0, "", false, 2000},
    {"cafDataSizeZero",
     patched(SF_FORMAT_CAF | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { putBig(b, offsetOf(b, "data") + 4, 0, 8); }),
     1, "Error opening input file: Internal error : SF_INFO struct incomplete.\n"},
    {"cafDataSizeTooLarge",
     patched(SF_FORMAT_CAF | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { putBig(b, offsetOf(b, "data") + 4, 1000000, 8); }),
     1, "Error opening input file: Supported file format but file is malformed.\n"},
    {"cafCutInHeader",
     patched(SF_FORMAT_CAF | SF_FORMAT_FLOAT, 1, 1000,
             [](Bytes& b) { b.resize(40); }),
     1, "Error opening input file: Supported file format but file is malformed.\n"},
    // Streaming encoders leave the total at 0; libsndfile then knows no length.
    {"flacTotalUnknown",
     patched(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { patchFlacStreamInfo(b, ~kFlacTotalMask, 0); }),
     0, "", false, 2000},
    {"flacTotalAbsurd",
     patched(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { patchFlacStreamInfo(b, ~kFlacTotalMask, kFlacTotalMask); }),
     0, "", false, 2000},
    {"flacCutInHeader",
     patched(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 1000,
             [](Bytes& b) { b.resize(20); }),
     1, "Error opening input file: File contains data in an unimplemented format.\n"},
    {"flacCutInData",
     patched(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 10000,
             [](Bytes& b) { b.resize(b.size() / 2); }),
     1, "Error reading input file: Error : flac decoder lost sync.\n"},
    // The Xing header's frame count, times 1152 samples a frame.
    {"mp3XingCountAbsurd",
     patched(SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 2, 44100,
             [](Bytes& b) { putBig(b, offsetOf(b, "Xing") + 8, 0xFFFFFFFF, 4); }),
     0, "", false, 89950},
    // The decoder gives up part-way and returns 0 with the error left behind.
    {"mp3GarbageAfterTheStart",
     patched(SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 2, 44100,
             [](Bytes& b) {
                 for (std::size_t k = 2000; k < b.size(); ++k) {
                     b[k] = static_cast<unsigned char>(k * 131 + 7);
                 }
             }),
     1, "Error reading input file: Unspecified internal error.\n", true},
    {"oggCutInTheMiddle",
     patched(SF_FORMAT_OGG | SF_FORMAT_VORBIS, 2, 44100,
             [](Bytes& b) { b.resize(b.size() / 2); }),
     1, "Error opening input file: Supported file format but file is malformed.\n"},
    {"textNamedWav", [](const TempDir&) { return Bytes{'h', 'e', 'l', 'l', 'o', '\n'}; }, 1,
     "Error opening input file: Format not recognised.\n"},
    {"emptyFile", [](const TempDir&) { return Bytes{}; }, 1,
     "Error opening input file: Format not recognised.\n"},
};

class HostileInputTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileInputTest, EndsWithTheExpectedStatusAndMessage) {
    const HostileCase& c = GetParam();
    TempDir dir;
    const std::string input = dir.file("input.wav");
    const std::string output = dir.file("loop.wav");
    test::writeBytes(input, c.craft(dir));

    const test::ProgramResult r = test::runSorvaneExecutable({input, output, "PINGPONG"});
    ASSERT_EQ(r.status, c.status) << r.err;
    if (c.errEndsWith) {
        ASSERT_GE(r.err.size(), c.err.size()) << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - c.err.size()), c.err);
    } else {
        EXPECT_EQ(r.err, c.err);
    }
    if (c.status == 0) {
        EXPECT_NE(r.out.find("\nBuffer: " + std::to_string(c.frames) + " sample frames\n"), std::string::npos)
            << r.out;
    } else {
        EXPECT_EQ(r.out, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostileInputTest, ::testing::ValuesIn(kCases),
    [](const ::testing::TestParamInfo<HostileCase>& param) { return std::string(param.param.name); });

TEST(HostileOutput, OutputPathsThatCannotBeCreatedAreReported) {
    TempDir dir;
    const std::string input = dir.file("in.wav");
    test::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {0.25, -0.25});
    const struct {
        std::string output;
        std::string err;
    } cases[] = {
        {dir.file("missing/out.wav"), "System error : No such file or directory."},
        {input + "/out.wav", "System error : Not a directory."},
        {dir.path().string(), "System error : Is a directory."},
    };
    for (const auto& c : cases) {
        const test::ProgramResult r = test::runSorvaneExecutable({input, c.output, "pingpong"});
        EXPECT_EQ(r.status, 1) << c.output;
        EXPECT_EQ(r.err, "Error opening output file: " + c.err + "\n") << c.output;
    }
}

// Leaves nothing but the named files in the directory.
std::vector<std::string> entriesOf(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SameFile, AFailedWriteLeavesTheInputAsItWas) {
    TempDir dir;
    const std::string path = dir.file("take.wav");
    test::writeAudio(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, test::distinctStereo(220500));
    const Bytes before = test::readBytes(path);
    ASSERT_GT(before.size(), 800000u);

    test::RunOptions limited;
    limited.maxFileSize = 100000;
    const test::ProgramResult r = test::runSorvaneExecutable({path, path, "PINGPONG"}, limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error writing output file: System error : File too large.\n");
    EXPECT_EQ(test::readBytes(path), before);
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"take.wav"});
}

TEST(SameFile, AFormatThatCannotBeWrittenLeavesTheInputAsItWas) {
    TempDir dir;
    // FLAC decodes this rate but libsndfile will not encode it.
    Bytes flac = validFile(dir, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 1000);
    fs::remove(dir.file("valid"));
    patchFlacStreamInfo(flac, (std::uint64_t{1} << 44) - 1, std::uint64_t{700000} << 44);
    const std::string path = dir.file("odd rate.flac");
    test::writeBytes(path, flac);

    const test::ProgramResult r = test::runSorvaneExecutable({path, path, "ZEROCROSSING"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error opening output file: Error : flac does not support this sample rate.\n");
    EXPECT_EQ(test::readBytes(path), flac);
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"odd rate.flac"});
}

TEST(SameFile, ALinkOrAnotherSpellingReplacesTheFileItselfKeepingItsPermissions) {
    TempDir dir;
    const std::string path = dir.file("take.wav");
    const std::vector<double> samples = test::distinctStereo(300);
    test::writeAudio(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2, samples);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    fs::create_symlink("take.wav", dir.path() / "link.wav");

    const std::string outputs[] = {dir.file("link.wav"), dir.file("./take.wav")};
    std::vector<double> expected = test::readAudio(path).samples;
    for (const std::string& output : outputs) {
        const test::ProgramResult r = test::runSorvaneExecutable({path, output, "pingpong"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<double> forwards = expected;
        expected.insert(expected.end(), forwards.begin(), forwards.end());
        const std::size_t frames = forwards.size() / 2;
        const std::vector<double> backwards = test::framesOf(forwards, 2, frames - 1, 0);
        std::copy(backwards.begin(), backwards.end(), expected.begin() + static_cast<std::ptrdiff_t>(forwards.size()));
        EXPECT_EQ(test::readAudio(path).samples, expected) << output;
        EXPECT_TRUE(fs::is_symlink(dir.path() / "link.wav"));
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    }
    EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"link.wav", "take.wav"}));
}

} // namespace
} // namespace sorvane
