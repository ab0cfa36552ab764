#include <cmath>
#include <cstdint>
#include <sstream>

#include <gtest/gtest.h>

#include "audio_io/audio_io.hpp"
#include "test_support.hpp"

namespace sorvane {
namespace {

using test::TempDir;

SF_INFO infoFor(int format, int sampleRate, int channels) {
    SF_INFO info{};
    info.format = format;
    info.samplerate = sampleRate;
    info.channels = channels;
    return info;
}

TEST(ReadInputAudio, SplitsStereoIntoChannelsAcrossReadBlocks) {
    TempDir dir;
    const std::string path = dir.file("stereo.wav");
    // Long enough to span several read blocks, with an odd tail.
    const std::vector<double> samples = test::distinctStereo(10007);
    test::writeAudio(path, SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 48000, 2, samples);

    std::ostringstream err;
    const std::optional<AudioInput> input = readInputAudio(path, err);
    ASSERT_TRUE(input) << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(input->info.frames, 10007);
    EXPECT_EQ(input->info.samplerate, 48000);
    EXPECT_EQ(input->info.format, SF_FORMAT_WAV | SF_FORMAT_DOUBLE);
    ASSERT_EQ(input->left.size(), 10007u);
    ASSERT_EQ(input->right.size(), 10007u);
    for (std::size_t i = 0; i < input->left.size(); ++i) {
        ASSERT_EQ(input->left[i], samples[2 * i]) << i;
        ASSERT_EQ(input->right[i], samples[2 * i + 1]) << i;
    }
}

TEST(ReadInputAudio, MonoIsHeldOnceAndStoresNegativeZeroAsPositive) {
    TempDir dir;
    const std::string path = dir.file("mono.au");
    test::writeAudio(path, SF_FORMAT_AU | SF_FORMAT_FLOAT, 22050, 1, {0.5, -0.0, -0.25});

    std::ostringstream err;
    const std::optional<AudioInput> input = readInputAudio(path, err);
    ASSERT_TRUE(input) << err.str();
    EXPECT_EQ(input->left, (ChannelBuffer{0.5, 0.0, -0.25}));
    EXPECT_FALSE(std::signbit(input->left[1]));
    EXPECT_TRUE(input->right.empty());
}

struct ReserveCase {
    const char* name;
    sf_count_t declared;
    int format;
    int channels;
    std::optional<std::uint64_t> fileBytes;
    std::uint64_t reserved;
};

void PrintTo(const ReserveCase& c, std::ostream* os) { *os << c.name; }

class FramesWorthReserving : public ::testing::TestWithParam<ReserveCase> {};

TEST_P(FramesWorthReserving, TrustsTheDeclaredLengthOnlyAsFarAsTheFileCanHoldIt) {
    const ReserveCase& c = GetParam();
    SF_INFO info = infoFor(c.format, 44100, c.channels);
    info.frames = c.declared;
    EXPECT_EQ(framesWorthReserving(info, c.fileBytes), c.reserved);
}

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kFlac16 = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;

INSTANTIATE_TEST_SUITE_P(
    Table, FramesWorthReserving,
    ::testing::Values(
        // A valid file is reserved for exactly, so reading it never grows a buffer.
        ReserveCase{"validWav", 1000, kWav16, 2, 44 + 4000, 1000},
        ReserveCase{"validFlac", 441000, kFlac16, 2, 900000, 441000},
        ReserveCase{"wavLongerThanItsFile", 536869888, kWav16, 2, 176444, 44111},
        ReserveCase{"monoDoubles", 5000, SF_FORMAT_AU | SF_FORMAT_DOUBLE, 1, 824, 103},
        ReserveCase{"imaAdpcmFourBits", 100000, SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 1, 1000, 2000},
        ReserveCase{"flacAbsurd", (sf_count_t{1} << 36) - 1, kFlac16, 2, 5000, 640000},
        // A pipe's size says nothing: start small and grow.
        ReserveCase{"pipedWav", 536869888, kWav16, 2, std::nullopt, 65536},
        ReserveCase{"pipedShortWav", 300, kWav16, 2, std::nullopt, 300},
        ReserveCase{"unknownLength", SF_COUNT_MAX, kFlac16, 2, 5000, 0},
        ReserveCase{"nothingDeclared", 0, kWav16, 1, 44, 0},
        ReserveCase{"sizeBeyondArithmetic", 1000, kFlac16, 2, ~std::uint64_t{0}, 1000}),
    [](const ::testing::TestParamInfo<ReserveCase>& param) { return std::string(param.param.name); });

class WriteEmptyOutput : public ::testing::TestWithParam<int> {};

// Some encoders write their headers only with the first samples; an empty loop
// must still be a file that opens.
TEST_P(WriteEmptyOutput, MakesAFileThatOpensWithNoFrames) {
    TempDir dir;
    const std::string path = dir.file("empty");
    const SF_INFO info = infoFor(GetParam(), 48000, 2);
    std::ostringstream err;
    const ChannelBuffer none;
    ASSERT_EQ(writeOutputAudio(path, OutputPlan{info, 0, {}, {}, {}, {}}, *pingPongLoop(none, none, 2), err), 0u) << err.str();

    SF_INFO read{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &read);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    double frame[2];
    EXPECT_EQ(sf_readf_double(file, frame, 1), 0);
    sf_close(file);
    EXPECT_EQ(read.samplerate, 48000);
    EXPECT_EQ(read.format, info.format);
}

INSTANTIATE_TEST_SUITE_P(Formats, WriteEmptyOutput,
                         ::testing::Values(SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                           SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
                                           SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III,
                                           SF_FORMAT_OGG | SF_FORMAT_VORBIS));

// A WAV too large for 32-bit sizes becomes an RF64, every smaller one stays
// a WAV; a format with 32-bit sizes of its own refuses; others take any size.
// The limit is lowered here to 64 MiB past the 64 MiB kept for the header.
TEST(FormatForSize, TakesRf64ForALargeWavAndRefusesWhereTheFormatCannotHold) {
    const std::uint64_t limit = std::uint64_t{128} << 20;
    const std::uint64_t fits = (std::uint64_t{64} << 20) / 4;   // 16-bit stereo frames in 64 MiB
    const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    EXPECT_EQ(formatForSize(wav, 2, fits, limit).format, wav);
    EXPECT_EQ(formatForSize(wav, 2, fits + 1, limit).format, SF_FORMAT_RF64 | SF_FORMAT_PCM_16);
    EXPECT_FALSE(formatForSize(wav, 2, fits + 1, limit).tooLarge);
    const SizedFormat aiff = formatForSize(SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 2, fits, limit);
    EXPECT_EQ(aiff.tooLarge, "the loop would take 0.1 GiB, more than AIFF (Apple/SGI) files can hold (4 GiB); "
                             "name the output .rf64, .w64, .caf or .flac");
    EXPECT_EQ(formatForSize(SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2, fits * 100, limit).format,
              SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
}

class WriteMp3 : public ::testing::TestWithParam<double> {};

// The MP3 encoder aborts the process on such samples; they are refused with a
// message, and a loud but sound sample still goes through.
TEST_P(WriteMp3, RefusesSamplesTheEncoderCannotTake) {
    TempDir dir;
    const std::string path = dir.file("loop.mp3");
    const ChannelBuffer left(3000, 0.25);
    ChannelBuffer right(3000, -0.25);
    right[1500] = GetParam();
    std::ostringstream err;
    const std::optional<std::uint64_t> written =
        writeOutputAudio(path, OutputPlan{infoFor(SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2), 0, {}, {}, {}, {}},
                         *pingPongLoop(left, right, 2), err);
    if (std::fabs(GetParam()) <= 64.0) {
        EXPECT_EQ(written, 6000u) << err.str();
    } else {
        EXPECT_FALSE(written);
        EXPECT_EQ(err.str(), "Error writing output file: a sample is not a number or louder than +36 dBFS, which "
                             "the MP3 encoder cannot take; the input looks damaged\n");
        EXPECT_TRUE(test::entriesOf(dir.path().string()).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, WriteMp3,
                         ::testing::Values(-64.0, std::nan(""), HUGE_VAL, -1e5, 1e10));

} // namespace
} // namespace sorvane
