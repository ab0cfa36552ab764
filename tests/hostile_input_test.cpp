// Truncated, mislabelled and crafted files through the real executable: each
// ends with status 0 or 1 and the program's own messages, never a signal.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>

#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "audio_io/sndfile_handle.hpp"
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

// Cuts a FLAC file where frame `index` begins, as an interrupted copy can:
// what is left decodes without an error. The frame number is the header's
// fifth byte while it is below 128; the blocking, block size, rate and
// sample size bits match the first frame's.
void cutAtFlacFrame(Bytes& b, unsigned index) {
    const unsigned char sync[] = {0xFF, 0xF8};
    const auto first = static_cast<std::size_t>(
        std::search(b.begin() + 42, b.end(), std::begin(sync), std::end(sync)) - b.begin());
    for (std::size_t at = first + 1; at + 5 <= b.size(); ++at) {
        if (b[at] == 0xFF && b[at + 1] == 0xF8 && b[at + 2] == b[first + 2] &&
            (b[at + 3] & 0x0F) == (b[first + 3] & 0x0F) && b[at + 4] == index) {
            b.resize(at);
            return;
        }
    }
    ADD_FAILURE() << "no FLAC frame " << index;
}

// A constant-bit-rate MP3 without its first frame, the Info frame that holds
// the exact length: the length libsndfile declares is then an estimate.
Bytes mp3WithoutInfoFrame(const TempDir& dir) {
    const std::string path = dir.file("cbr");
    {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
        SndFileHandle file(sf_open(path.c_str(), SFM_WRITE, &info));
        int constant = SF_BITRATE_MODE_CONSTANT;
        // libsndfile reports this as failed though the encoder takes it; the
        // Info tag checked below is what shows a constant bit rate.
        sf_command(file.get(), SFC_SET_BITRATE_MODE, &constant, sizeof constant);
        std::vector<double> samples(2 * 44100);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = 0.3 * std::sin(static_cast<double>(i) * 0.01);
        }
        sf_writef_double(file.get(), samples.data(), 44100);
    }
    Bytes b = test::readBytes(path);
    // MPEG-1 layer III: 144 * bit rate / sample rate bytes, plus padding.
    const unsigned kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    const std::size_t length = 144 * kbps[b[2] >> 4] * 1000 / 44100 + ((b[2] >> 1) & 1);
    EXPECT_EQ(std::memcmp(&b[36], "Info", 4), 0);
    b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(length));
    return b;
}

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
    // An interrupted copy: 27 of the 54 frames of 4096 declared.
    {"flacCutAtAFrameBoundary",
     patched(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 220500, [](Bytes& b) { cutAtFlacFrame(b, 27); }), 0, "",
     false, 2 * 27 * 4096},
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
    // The estimate runs past the frames there are.
    {"mp3WithoutInfoFrame", mp3WithoutInfoFrame, 0, "", false, 2 * 40 * 1152},
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

// A WAV file streamed through a pipe declares the largest length there is,
// as its writer cannot go back to fill it in: the loop is what arrives, in
// the memory that needs.
// Two seconds: more than is reserved for a length nothing confirms, so the
// buffers grow while reading, in mono as in stereo.
TEST(PipedInput, LoopsWhatArrivesWhateverTheHeaderDeclares) {
    for (const int channels : {2, 1}) {
        TempDir dir;
        const std::string file = dir.file("two seconds.wav");
        std::vector<double> samples = test::distinctStereo(88200);
        if (channels == 1) {
            for (std::size_t i = 0; i < 88200; ++i) {
                samples[i] = samples[2 * i];
            }
            samples.resize(88200);
        }
        test::writeAudio(file, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, channels, samples);
        Bytes stream = test::readBytes(file);
        putLittle(stream, 4, 0x7FFFF024, 4);
        putLittle(stream, offsetOf(stream, "data") + 4, 0x7FFFF000, 4);
        const std::string fifo = dir.file("stream.wav");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // Opened for reading too, so that the open never waits for the program;
        // close-on-exec, or the program would inherit a writer and never see the end.
        std::thread writer([&] {
            const int fd = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
            EXPECT_EQ(write(fd, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
            close(fd);
        });
        const test::ProgramResult piped = test::runSorvaneExecutable({fifo, dir.file("piped loop.wav"), "PINGPONG"});
        writer.join();
        const test::ProgramResult plain = test::runSorvaneExecutable({file, dir.file("loop.wav"), "PINGPONG"});
        ASSERT_EQ(piped.status, 0) << piped.err;
        EXPECT_NE(piped.out.find("\nBuffer: 176400 sample frames\n"), std::string::npos) << piped.out;
        EXPECT_TRUE(test::readBytes(dir.file("piped loop.wav")) == test::readBytes(dir.file("loop.wav")))
            << channels << " channel(s)";
    }
}

// Memory that cannot be had ends the run with the program's status for
// trouble and a message naming the file, never a silent exit or an abort.
// (sorvane-seam reads a window at a time, pipes included: no loop takes it
// beyond a few megabytes.)
TEST(OutOfMemory, EachProgramSaysSoNamingTheFile) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves; valgrind.sh runs this";
#else
    TempDir dir;
    const std::string note = dir.file("note.wav");
    test::writeAudio(note, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, test::sustainedNote({44100, 2, 220.0, 60.0}));
    test::RunOptions small;
    small.maxAddressSpace = std::uint64_t{24} << 20; // the programs start in less; the note takes 42 MB
    const struct {
        std::string program;
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {test::sorvaneExecutable(), {note, dir.file("loop.wav"), "PINGPONG"}, 1,
         "Error: not enough memory to loop " + note + ".\n"},
        {test::sustainExecutable(), {note, dir.file("looped.wav")}, 1, note + ": Error: not enough memory.\n"},
    };
    for (const auto& c : cases) {
        const test::ProgramResult r = test::runProgram(c.program, c.args, small);
        EXPECT_EQ(r.status, c.status) << c.program;
        EXPECT_EQ(r.err, c.err) << c.program;
    }
    EXPECT_EQ(test::entriesOf(dir.path()), std::vector<std::string>{"note.wav"});
#endif
}

// libsndfile reads FLAC and MP3 only from what it can seek in (FLAC lost
// sync on a pipe, and MP3 was read out of bounds): through a pipe, each
// gives the very loop its file gives.
TEST(PipedInput, EveryFormatGivesTheLoopItsFileGives) {
    TempDir dir;
    for (const auto& [name, format] : {std::pair{"in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                       std::pair{"in.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
                                       std::pair{"in.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS}}) {
        const std::string file = dir.file(name);
        test::writeAudio(file, format, 44100, 2, test::distinctStereo(20000));
        test::RunOptions piped;
        piped.stdinPath = file;
        piped.stdinIsPipe = true;
        const test::ProgramResult fromPipe = test::runSorvaneExecutable({"-", dir.file("piped.wav"), "PINGPONG"}, piped);
        const test::ProgramResult fromFile = test::runSorvaneExecutable({file, dir.file("filed.wav"), "PINGPONG"});
        ASSERT_EQ(fromPipe.status, 0) << name << ": " << fromPipe.err;
        EXPECT_TRUE(test::readBytes(dir.file("piped.wav")) == test::readBytes(dir.file("filed.wav"))) << name;
    }
}

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
    EXPECT_EQ(test::entriesOf(dir.path()), std::vector<std::string>{"take.wav"});
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
    EXPECT_EQ(test::entriesOf(dir.path()), std::vector<std::string>{"odd rate.flac"});
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
    EXPECT_EQ(test::entriesOf(dir.path()), (std::vector<std::string>{"link.wav", "take.wav"}));
}

} // namespace
} // namespace sorvane
