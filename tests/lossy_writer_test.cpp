#include <cmath>
#include <limits>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "audio_io/audio_io.hpp"
#include "audio_io/lossy_writer.hpp"
#include "audio_io/output_format.hpp"
#include "files/file_descriptor.hpp"
#include "test_support.hpp"

namespace sorvane {
namespace {

using test::TempDir;

constexpr int kOggVorbis = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
constexpr int kOggOpus = SF_FORMAT_OGG | SF_FORMAT_OPUS;
constexpr int kMp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;

// A held chord, different in each channel, `frames` long.
std::unique_ptr<LoopSource> chord(ChannelBuffer& left, ChannelBuffer& right, std::size_t frames, int rate) {
    left.resize(frames);
    right.resize(frames);
    for (std::size_t k = 0; k < frames; ++k) {
        const double t = static_cast<double>(k) / rate;
        left[k] = 0.3 * std::sin(2 * M_PI * 220 * t) + 0.1 * std::sin(2 * M_PI * 660 * t);
        right[k] = 0.3 * std::sin(2 * M_PI * 330 * t + 1.0) + 0.1 * std::sin(2 * M_PI * 1320 * t);
    }
    return buffersAsLoop(left, right, 2);
}

struct Written {
    std::optional<std::string> failure;
    test::AudioFile decoded;
};

Written writeAndRead(const std::string& path, int format, const LoopSource& frames, int rate,
                     std::optional<LoopPoints> loop = std::nullopt, bool positioned = true) {
    LossyOutput output;
    output.format = format;
    output.sampleRate = lossyRateFor(format, rate);
    output.channels = 2;
    output.encoder = encoderSettingsFor(format, 2, output.sampleRate, std::nullopt);
    output.loop = loop;
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    Written written;
    written.failure = writeLossy(ByteTarget{fd.get(), positioned, 0}, frames, rate, output);
    EXPECT_EQ(fd.close(), 0);
    if (!written.failure) {
        written.decoded = test::readAudio(path);
    }
    return written;
}

struct LengthCase {
    int format;
    int rate;
    std::size_t frames;
    std::optional<LoopPoints> loop; // a note's loop inside it, else the whole
};

class LossyLength : public ::testing::TestWithParam<LengthCase> {};

// libsndfile decodes exactly the frames written, resampled where the codec
// does not carry the rate, whatever context went in on either side.
TEST_P(LossyLength, DecodesToExactlyTheFramesWritten) {
    const LengthCase& c = GetParam();
    TempDir dir;
    ChannelBuffer left;
    ChannelBuffer right;
    const std::unique_ptr<LoopSource> frames = chord(left, right, c.frames, c.rate);
    const Written written = writeAndRead(dir.file("loop"), c.format, *frames, c.rate, c.loop);
    ASSERT_FALSE(written.failure) << *written.failure;
    const int fileRate = lossyRateFor(c.format, c.rate);
    EXPECT_EQ(written.decoded.info.samplerate, fileRate);
    EXPECT_EQ(static_cast<std::uint64_t>(written.decoded.info.frames),
              resamplingFor(c.frames, c.loop, c.rate, fileRate).frames);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LossyLength,
    ::testing::Values(LengthCase{kOggVorbis, 44100, 44100, std::nullopt}, LengthCase{kOggVorbis, 22050, 1000, std::nullopt},
                      LengthCase{kOggVorbis, 44100, 30000, LoopPoints{5000, 30000, std::nullopt}},
                      LengthCase{kOggOpus, 48000, 48000, std::nullopt}, LengthCase{kOggOpus, 44100, 44100, std::nullopt},
                      LengthCase{kOggOpus, 44100, 30000, LoopPoints{5000, 20000, std::nullopt}},
                      LengthCase{kOggOpus, 24000, 700, std::nullopt}, LengthCase{kMp3, 44100, 44100, std::nullopt},
                      LengthCase{kMp3, 22050, 3000, LoopPoints{1000, 3000, std::nullopt}},
                      LengthCase{kMp3, 96000, 9600, std::nullopt}));

// The file's first frame is the loop's: the context before it (Opus, MP3) is
// left out exactly, not a frame more or less.
TEST(LossyWriter, StartsOnTheLoopsFirstFrame) {
    for (const int format : {kOggVorbis, kOggOpus, kMp3}) {
        TempDir dir;
        ChannelBuffer left;
        ChannelBuffer right;
        const std::unique_ptr<LoopSource> frames = chord(left, right, 48000, 48000);
        const Written written = writeAndRead(dir.file("loop"), format, *frames, 48000);
        ASSERT_FALSE(written.failure) << *written.failure;
        // The codecs' noise on this chord's first frames at their defaults
        // stays below this (0.014 at worst); a shift by a frame puts the
        // right channel 0.03 off.
        constexpr double kCodecNoise = 0.02;
        double worst = 0.0;
        for (std::size_t k = 0; k < 200; ++k) {
            worst = std::max({worst, std::fabs(written.decoded.samples[2 * k] - left[k]),
                              std::fabs(written.decoded.samples[2 * k + 1] - right[k])});
        }
        EXPECT_LT(worst, kCodecNoise) << "format " << std::hex << format;
    }
}

// An MP3 to a pipe is held until its header is complete: the same bytes as
// one mended in place.
TEST(LossyWriter, Mp3StreamedMatchesMp3Mended) {
    TempDir dir;
    ChannelBuffer left;
    ChannelBuffer right;
    const std::unique_ptr<LoopSource> frames = chord(left, right, 20000, 44100);
    ASSERT_FALSE(writeAndRead(dir.file("mended.mp3"), kMp3, *frames, 44100, std::nullopt, true).failure);
    ASSERT_FALSE(writeAndRead(dir.file("streamed.mp3"), kMp3, *frames, 44100, std::nullopt, false).failure);
    EXPECT_EQ(test::readBytes(dir.file("mended.mp3")), test::readBytes(dir.file("streamed.mp3")));
}

TEST(LossyWriter, RefusesADamagedSampleBeforeAnEncoderSeesIt) {
    for (const int format : {kOggVorbis, kOggOpus, kMp3}) {
        TempDir dir;
        ChannelBuffer left(1000, 0.25);
        ChannelBuffer right(1000, -0.25);
        left[500] = std::numeric_limits<double>::quiet_NaN();
        const std::unique_ptr<LoopSource> frames = buffersAsLoop(left, right, 2);
        const Written written = writeAndRead(dir.file("loop"), format, *frames, 48000);
        ASSERT_TRUE(written.failure);
        EXPECT_NE(written.failure->find("the input looks damaged"), std::string::npos) << *written.failure;
    }
}

struct ResamplingCase {
    std::uint64_t frames;
    std::optional<LoopPoints> loop;
    int from;
    int to;
    std::uint64_t fileFrames;
    std::uint64_t loopStart;
    std::uint64_t loopEnd;
};

class LossyResampling : public ::testing::TestWithParam<ResamplingCase> {};

// The loop spans a whole number of frames at the new rate, and the file
// holds the intro and the release around it, each rounded.
TEST_P(LossyResampling, KeepsTheLoopWhole) {
    const ResamplingCase& c = GetParam();
    const Resampling r = resamplingFor(c.frames, c.loop, c.from, c.to);
    EXPECT_EQ(r.frames, c.fileFrames);
    const LoopPoints loop = r.loop.value_or(LoopPoints{0, r.frames, std::nullopt});
    EXPECT_EQ(loop.start, c.loopStart);
    EXPECT_EQ(loop.end, c.loopEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, LossyResampling,
    ::testing::Values(ResamplingCase{44100, std::nullopt, 44100, 48000, 48000, 0, 48000},
                      ResamplingCase{1001, std::nullopt, 44100, 48000, 1090, 0, 1090},
                      ResamplingCase{30000, LoopPoints{5000, 20000, std::nullopt}, 44100, 48000, 32654, 5442, 21769},
                      ResamplingCase{100, std::nullopt, 48000, 48000, 100, 0, 100},
                      ResamplingCase{0, std::nullopt, 44100, 48000, 0, 0, 0}));

struct QualityCase {
    int format;
    const char* text;
    bool accepted;
};

class LossyQuality : public ::testing::TestWithParam<QualityCase> {};

TEST_P(LossyQuality, TakesEachCodecsOwnScale) {
    const QualityCase& c = GetParam();
    const QualityChoice choice = encoderSettingsFromQuality(c.format, c.text);
    EXPECT_EQ(!choice.refused, c.accepted) << c.text << ": " << choice.refused.value_or("");
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, LossyQuality,
    ::testing::Values(QualityCase{kOggVorbis, "-1", true}, QualityCase{kOggVorbis, "6.5", true},
                      QualityCase{kOggVorbis, "10.1", false}, QualityCase{kOggVorbis, "q6", false},
                      QualityCase{kOggOpus, "96", true}, QualityCase{kOggOpus, "5", false},
                      QualityCase{kOggOpus, "96.5", false}, QualityCase{kMp3, "0", true}, QualityCase{kMp3, "9", true},
                      QualityCase{kMp3, "10", false}, QualityCase{kMp3, "", false},
                      QualityCase{SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "5", false}));

TEST(LossyWriter, RatesOnlyWhereTheCodecCarriesThem) {
    EXPECT_EQ(lossyRateFor(kOggVorbis, 44100), 44100);
    EXPECT_EQ(lossyRateFor(kOggVorbis, 7000), 7000);
    EXPECT_EQ(lossyRateFor(kOggOpus, 24000), 24000);
    EXPECT_EQ(lossyRateFor(kOggOpus, 44100), 48000);
    EXPECT_EQ(lossyRateFor(kOggOpus, 96000), 48000);
    EXPECT_EQ(lossyRateFor(kOggOpus, 11025), 12000);
    EXPECT_EQ(lossyRateFor(kMp3, 22050), 22050);
    EXPECT_EQ(lossyRateFor(kMp3, 22500), 24000);
    EXPECT_EQ(lossyRateFor(kMp3, 96000), 48000);
}

} // namespace
} // namespace sorvane
