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

TEST(ReadInputAudio, MonoLeavesTheRightBufferZeroAndStoresNegativeZeroAsPositive) {
    TempDir dir;
    const std::string path = dir.file("mono.au");
    test::writeAudio(path, SF_FORMAT_AU | SF_FORMAT_FLOAT, 22050, 1, {0.5, -0.0, -0.25});

    std::ostringstream err;
    const std::optional<AudioInput> input = readInputAudio(path, err);
    ASSERT_TRUE(input) << err.str();
    EXPECT_EQ(input->left, (ChannelBuffer{0.5, 0.0, -0.25}));
    EXPECT_FALSE(std::signbit(input->left[1]));
    EXPECT_EQ(input->right, (ChannelBuffer{0.0, 0.0, 0.0}));
}

TEST(ReadInputAudio, UntrustedLengthKeepsWhatTheFileDelivers) {
    TempDir dir;
    const std::string path = dir.file("take.flac");
    const std::vector<double> samples = test::distinctStereo(9000);
    test::writeAudio(path, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 2, samples);

    std::ostringstream err;
    const std::optional<AudioInput> trusted = readInputAudio(path, err);
    // A budget too small for the declared count: the growing path must give
    // exactly what the declared-count path gives.
    const std::optional<AudioInput> grown = readInputAudio(path, err, 1000);
    ASSERT_TRUE(trusted && grown) << err.str();
    EXPECT_EQ(grown->info.frames, 9000);
    EXPECT_EQ(grown->left, trusted->left);
    EXPECT_EQ(grown->right, trusted->right);
}

class WriteEmptyOutput : public ::testing::TestWithParam<int> {};

// Some encoders write their headers only with the first samples; an empty loop
// must still be a file that opens.
TEST_P(WriteEmptyOutput, MakesAFileThatOpensWithNoFrames) {
    TempDir dir;
    const std::string path = dir.file("empty");
    const SF_INFO info = infoFor(GetParam(), 48000, 2);
    std::ostringstream err;
    ASSERT_EQ(writeOutputAudio(path, info, {}, err), 0u) << err.str();

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

} // namespace
} // namespace sorvane
