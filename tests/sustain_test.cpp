#include <cmath>
#include <sstream>
#include <tuple>
#include <variant>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/tpropertymap.h>

#include "audio_io/audio_io.hpp"
#include "metadata/file_metadata.hpp"
#include "sustain/sustain_loop.hpp"
#include "test_support.hpp"

namespace sorvane {
namespace {

using test::NoteShape;
using test::TempDir;

// Vibrato bends the period it averages, and noise blurs the dip it is read
// from: the estimate of the mean period is held to a hundredth of a percent.
constexpr double kPeriodTolerance = 1e-4;

struct Note {
    AudioInput input;
    explicit Note(const NoteShape& shape) {
        const std::vector<double> samples = test::sustainedNote(shape);
        input.info.samplerate = shape.sampleRate;
        input.info.channels = shape.channels;
        for (std::size_t i = 0; i < samples.size(); i += static_cast<std::size_t>(shape.channels)) {
            input.left.push_back(samples[i]);
            if (shape.channels > 1) {
                input.right.push_back(samples[i + 1]);
            }
        }
    }
    std::variant<SustainLoop, std::string> find(const SustainSettings& settings = {}) const {
        return findSustainLoop(input.left, input.right, input.info.channels, input.info.samplerate, settings);
    }
    // The note as written with `loop`: its blended stretch where the loop
    // ends, and every other frame the input's, bit for bit.
    void expectWrittenAsRead(const SustainLoop& loop) const {
        const auto channels = static_cast<std::size_t>(input.info.channels);
        const InterleavedBuffer written = wholeLoop(*sustainedSound(input.left, input.right, input.info.channels, loop));
        ASSERT_EQ(written.size(), input.left.size() * channels);
        const std::size_t blendFrom = loop.loop.end - loop.crossfadeFrames();
        for (std::size_t k = 0; k < input.left.size(); ++k) {
            const bool inBlend = k >= blendFrom && k < loop.loop.end;
            ASSERT_EQ(written[k * channels], inBlend ? loop.blendedLeft[k - blendFrom] : input.left[k]) << k;
            if (channels > 1) {
                ASSERT_EQ(written[k * channels + 1], inBlend ? loop.blendedRight[k - blendFrom] : input.right[k]) << k;
            }
        }
    }
};

struct NoteCase {
    const char* name;
    NoteShape shape;
};

void PrintTo(const NoteCase& c, std::ostream* os) { *os << c.name; }

class SustainLoopOnNotes : public ::testing::TestWithParam<NoteCase> {};

TEST_P(SustainLoopOnNotes, FindsASmoothSteadyLoopOfWholePeriodsAndKeepsTheRest) {
    const NoteShape& shape = GetParam().shape;
    const Note note(shape);
    const auto found = note.find();
    ASSERT_TRUE(std::holds_alternative<SustainLoop>(found)) << std::get<std::string>(found);
    const SustainLoop& loop = std::get<SustainLoop>(found);
    const double rate = shape.sampleRate;

    EXPECT_EQ(loop.pitch.pitched, shape.frequency > 0.0);
    if (loop.pitch.pitched) {
        EXPECT_NEAR(loop.pitch.period, rate / shape.frequency, kPeriodTolerance * rate / shape.frequency);
        EXPECT_LE(std::fabs(loop.detuneCents), 0.1);
        EXPECT_NEAR(static_cast<double>(loop.loop.size()), static_cast<double>(loop.periods) * loop.pitch.period, 0.5);
    }
    // After the attack, before the release, and at least the default second.
    EXPECT_GE(loop.loop.start, static_cast<std::size_t>(0.1 * rate));
    EXPECT_LE(loop.loop.end, static_cast<std::size_t>((shape.seconds - 0.3) * rate));
    EXPECT_GE(loop.loop.size(), static_cast<std::size_t>(rate));
    EXPECT_TRUE(loop.smoothWithMargin()) << verdictText(loop.seam.verdict);
    EXPECT_LE(std::fabs(loop.loudnessChangeDb), 0.5);

    note.expectWrittenAsRead(loop);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SustainLoopOnNotes,
    ::testing::Values(NoteCase{"monoA4", {44100, 1, 440.0, 3.0, 0.0, 0.0}},
                      NoteCase{"stereoVibratoAndNoise", {48000, 2, 220.0, 4.0, 0.004, 0.003}},
                      NoteCase{"lowBass", {44100, 1, 55.0, 3.5, 0.0, 0.001}},
                      NoteCase{"highFlute", {22050, 2, 1567.98, 2.5, 0.002, 0.0}},
                      // The ends of the range 30 Hz to 4 kHz, however the period falls between frames.
                      NoteCase{"topOfTheRange", {44100, 1, 3950.0, 2.5, 0.0, 0.0}},
                      NoteCase{"topOfTheRangeStereo96k", {96000, 2, 3990.0, 2.0, 0.0, 0.0}},
                      NoteCase{"topOfTheRangeAt22k", {22050, 1, 3950.0, 2.5, 0.0, 0.0}},
                      NoteCase{"bottomOfTheRange", {44100, 1, 31.0, 3.0, 0.0, 0.0}},
                      NoteCase{"bottomOfTheRangeExactly", {22050, 2, 30.0, 3.0, 0.0, 0.0}},
                      NoteCase{"unpitchedNoise", {44100, 2, 0.0, 3.0, 0.0, 0.2}}),
    [](const ::testing::TestParamInfo<NoteCase>& param) { return std::string(param.param.name); });

// A signal that does not vary has no pitch: no period, no unity note.
TEST(SustainLoop, AConstantHasNoPitch) {
    for (const double offset : {0.5, 0.3, -0.001}) {
        const ChannelBuffer constant(44100 * 3, offset);
        const auto found = findSustainLoop(constant, constant, 1, 44100, {});
        ASSERT_TRUE(std::holds_alternative<SustainLoop>(found)) << std::get<std::string>(found);
        EXPECT_FALSE(std::get<SustainLoop>(found).pitch.pitched) << offset;
        EXPECT_EQ(std::get<SustainLoop>(found).periods, 0u) << offset;
    }
}

// Rates too low to hold the top of the pitch range (a file of 128 Hz came
// from the fuzzer) are searched within the buffers, and a tone they hold is
// still found.
TEST(SustainLoop, SearchesRatesBelowTheTopOfThePitchRange) {
    for (const int rate : {128, 2000, 3999}) {
        const Note note(NoteShape{rate, 1, 100.0, 3.0, 0.0, 0.0});
        const auto found = note.find();
        if (rate < 200) {
            continue; // 100 Hz is past its Nyquist frequency: whatever it finds, it must not read astray
        }
        ASSERT_TRUE(std::holds_alternative<SustainLoop>(found)) << rate << ": " << std::get<std::string>(found);
        const SustainLoop& loop = std::get<SustainLoop>(found);
        EXPECT_TRUE(loop.pitch.pitched) << rate;
        EXPECT_NEAR(loop.pitch.period, rate / 100.0, rate / 100.0 * kPeriodTolerance) << rate;
    }
}

TEST(SustainLoop, SaysWhyThereIsNoLoop) {
    const Note silent(NoteShape{44100, 1, 0.0, 2.0, 0.0, 0.0});
    EXPECT_EQ(std::get<std::string>(silent.find()), "the sound is silent: there is nothing to loop");

    const Note note(NoteShape{44100, 2, 330.0, 2.0, 0.0, 0.0});
    SustainSettings settings;
    settings.shortestLoop = 44100 * 2;
    EXPECT_EQ(std::get<std::string>(note.find(settings)),
              "no sustain long enough for a loop of 2.000 s (the sustain runs from 0.100 s to 1.700 s)");

    // The sustain named is the one searched; no length reads as 0.000 s.
    for (const auto& [start, shortest, why] : std::vector<std::tuple<std::size_t, std::size_t, std::string>>{
             {44100 * 3, 44100, "the note ends at 2.000 s, before the sustain is to start (3.000 s)"},
             {80000, 44100, "no sustain long enough for a loop of 1.000 s (the sustain runs from 1.814 s to 2.000 s)"},
             {4410, 1, "the shortest loop asked for is 1 frame at 44100 Hz; a loop takes 2 frames at least"},
             {4410, 200000, "no sustain long enough for a loop of 4.535 s (the sustain runs from 0.100 s to 1.700 s)"},
             {88000, 300, "no sustain long enough for a loop of 6.80 ms (the sustain runs from 1.995 s to 2.000 s)"}}) {
        SustainSettings asked;
        asked.regionStart = start;
        asked.shortestLoop = shortest;
        const auto found = note.find(asked);
        ASSERT_TRUE(std::holds_alternative<std::string>(found)) << why;
        EXPECT_EQ(std::get<std::string>(found), why);
    }
}

TEST(SustainLoop, ALoopStaysInsideASustainSetByHand) {
    // A period of 99.9955 frames, and sustains one frame apart around 100 of
    // them: for one, a whole number of periods is the whole sustain, to the
    // frame (the autocorrelation that ranks lengths has no lag that long).
    const Note note(NoteShape{44100, 1, 441.02, 2.0, 0.0, 0.0});
    for (std::size_t size = 9997; size <= 10003; ++size) {
        SustainSettings settings;
        settings.regionStart = 22050;
        settings.regionEnd = 22050 + size;
        settings.shortestLoop = size - 60;
        const auto found = note.find(settings);
        ASSERT_TRUE(std::holds_alternative<SustainLoop>(found)) << std::get<std::string>(found);
        const SustainLoop& loop = std::get<SustainLoop>(found);
        EXPECT_GE(loop.loop.start, 22050u) << size;
        EXPECT_LE(loop.loop.end, 22050 + size) << size;
        EXPECT_GE(loop.loop.size(), size - 60) << size;
    }
}

TEST(SustainLoop, BlendsAFadingNoteInWholePeriodsAndNeverWhenTold) {
    NoteShape shape{44100, 2, 261.63, 3.0, 0.0, 0.0};
    shape.decayDbPerSecond = 4.0;
    const Note note(shape);
    SustainSettings settings;
    settings.crossfade = false;
    const SustainLoop plain = std::get<SustainLoop>(note.find(settings));
    EXPECT_EQ(plain.crossfadeFrames(), 0u);
    EXPECT_GT(std::fabs(plain.loudnessChangeDb), 2.0);

    // The fade drifts 4 dB over the loop: the end is blended over several
    // times the 50 ms the loudness is measured on, in whole periods, and
    // comes back to the level of the start.
    const SustainLoop blended = std::get<SustainLoop>(note.find());
    const double periods = static_cast<double>(blended.crossfadeFrames()) / blended.pitch.period;
    EXPECT_NEAR(periods, std::round(periods), 0.5 / blended.pitch.period);
    EXPECT_GE(blended.crossfadeFrames(), static_cast<std::size_t>(0.095 * 44100));
    EXPECT_LE(std::fabs(blended.loudnessChangeDb), 0.5);
    EXPECT_TRUE(blended.smoothWithMargin());

    // Any length asked for is held to the audio there is before the loop.
    settings.crossfade = true;
    settings.crossfadeMs = 1e300;
    const SustainLoop longest = std::get<SustainLoop>(note.find(settings));
    EXPECT_LE(longest.crossfadeFrames(), std::min(longest.loop.start, longest.loop.size() / 2));
    note.expectWrittenAsRead(blended);
}

// A fast fade: the periods just before the start are already louder than
// those after it by more than the free half dB, so a blend that brings in
// only them overshoots; a shorter one meets the start's level.
TEST(SustainLoop, BringsAFastFadeBackToTheStartsLevel) {
    for (const double decay : {30.0, 60.0}) {
        NoteShape shape{44100, 1, 523.25, 2.0, 0.002, 0.01};
        shape.decayDbPerSecond = decay;
        const SustainLoop loop = std::get<SustainLoop>(Note(shape).find());
        EXPECT_GT(loop.crossfadeFrames(), 0u) << decay;
        EXPECT_LE(std::fabs(loop.loudnessChangeDb), 0.5) << decay;
        EXPECT_TRUE(loop.smoothWithMargin()) << decay;
    }
}

// Flattened, a fading or swelling note's loop ends at its start's level by
// its gain, a blend being for the seam alone; before the loop every frame is
// as read, after it every frame is as read times the end's gain.
TEST(SustainLoop, FlattenBringsEveryLoopWithinHalfADecibel) {
    // Quiet, the gain has room; with a key-off thump near full scale in the
    // release, the whole note is lowered to make it.
    for (const auto& [decay, scale] : {std::pair{-2.0, 0.125}, std::pair{12.0, 0.125}, std::pair{30.0, 0.125},
                                       std::pair{12.0, 1.0}}) {
        NoteShape shape{44100, 2, 261.63, 3.0, 0.003, 0.002};
        shape.decayDbPerSecond = decay;
        Note note(shape);
        double peak = 0.0;
        for (const ChannelBuffer* channel : {&note.input.left, &note.input.right}) {
            for (const double v : *channel) {
                peak = std::max(peak, std::fabs(v));
            }
        }
        for (ChannelBuffer* channel : {&note.input.left, &note.input.right}) {
            for (double& v : *channel) {
                v *= 0.125 / peak;
            }
            channel->back() = scale == 1.0 ? 0.9 : channel->back();
        }
        SustainSettings settings;
        settings.flatten = true;
        const SustainLoop loop = std::get<SustainLoop>(note.find(settings));
        const InterleavedBuffer written = wholeLoop(*sustainedSound(note.input.left, note.input.right, 2, loop));
        // As written: the whole periods of about 50 ms at the loop's end against those at its start.
        const double period = 44100.0 / 261.63;
        const auto span = static_cast<std::size_t>(std::lround(std::round(0.05 * 44100.0 / period) * period));
        auto energy = [&](std::size_t from) {
            double sum = 0.0;
            for (std::size_t k = 2 * from; k < 2 * (from + span); ++k) {
                sum += written[k] * written[k];
            }
            return sum;
        };
        const double change = 10.0 * std::log10(energy(loop.loop.end - span) / energy(loop.loop.start));
        EXPECT_LE(std::fabs(change), 0.5) << decay;
        EXPECT_NEAR(change, loop.loudnessChangeDb, 0.01) << decay;
        // A gain of the fade over the loop's length, give or take the room a 50 ms span leaves.
        const double seconds = static_cast<double>(loop.loop.size()) / 44100.0;
        EXPECT_NEAR(loop.flattenDb, decay * seconds, 0.1 * std::fabs(decay) + 0.2) << decay;
        EXPECT_TRUE(loop.smoothWithMargin()) << decay;
        EXPECT_EQ(loop.lowerDb < 0.0, scale == 1.0) << decay;
        EXPECT_LE(std::fabs(*std::max_element(written.begin(), written.end(), [](double a, double b) {
            return std::fabs(a) < std::fabs(b);
        })), 1.0) << decay;
        const double lowered = std::pow(10.0, loop.lowerDb / 20.0);
        const double endGain = std::pow(10.0, (loop.lowerDb + loop.flattenDb) / 20.0);
        for (const std::size_t k : {std::size_t{0}, loop.loop.start - 1, loop.loop.end, note.input.left.size() - 1}) {
            const double gain = k < loop.loop.start ? lowered : endGain;
            EXPECT_EQ(written[2 * k], note.input.left[k] * gain) << decay << " at " << k;
            EXPECT_EQ(written[2 * k + 1], note.input.right[k] * gain) << decay << " at " << k;
        }
    }
}

// Among loops that pass alike, the longest: it repeats the note's own
// vibrato and chorus less often.
TEST(SustainLoop, OfLoopsThatPassAlikeTakesTheLongest) {
    const SustainLoop loop = std::get<SustainLoop>(Note({44100, 2, 196.0, 6.0, 0.004, 0.002}).find());
    EXPECT_TRUE(loop.smoothWithMargin());
    EXPECT_GE(loop.loop.size(), std::size_t{44100 * 3}) << loop.loop.size();
}

struct CarrierCase {
    const char* name;
    int format;
};

void PrintTo(const CarrierCase& c, std::ostream* os) { *os << c.name; }

class LoopPointsRoundTrip : public ::testing::TestWithParam<CarrierCase> {};

// The points are read back by other code than ours: libsndfile's instrument
// reader for WAV and AIFF, TagLib's for the comments.
TEST_P(LoopPointsRoundTrip, SurviveInEveryCarrier) {
    TempDir dir;
    const std::string path = dir.file("note");
    const int rate = 48000;
    const ChannelBuffer left = [] {
        ChannelBuffer samples(rate / 2);
        for (std::size_t k = 0; k < samples.size(); ++k) {
            samples[k] = 0.5 * std::sin(0.05 * static_cast<double>(k));
        }
        return samples;
    }();
    SF_INFO info{};
    info.format = GetParam().format;
    info.samplerate = rate;
    info.channels = 1;
    LoopPoints points{1234, 20011, 69.0 + 0.37};
    SustainLoop nothingBlended;
    std::ostringstream err;
    const OutputPlan plan{info, 0, {}, {}, metadataWriter(FileMetadata{info.format, {}, {}, {}}, info, AudioKept::Same, points), {}};
    ASSERT_TRUE(writeOutputAudio(path, plan, *sustainedSound(left, left, 1, nothingBlended), err)) << err.str();

    if (loopCarrierOf(info.format) == LoopCarrier::XiphComments) {
        const TagLib::FileRef file(path.c_str());
        ASSERT_FALSE(file.isNull());
        const TagLib::PropertyMap tags = file.file()->properties();
        EXPECT_EQ(tags["LOOPSTART"].toString(), "1234");
        EXPECT_EQ(tags["LOOPLENGTH"].toString(), "18777");
        return;
    }
    SF_INFO read{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &read);
    ASSERT_NE(file, nullptr);
    SF_INSTRUMENT instrument{};
    const int got = sf_command(file, SFC_GET_INSTRUMENT, &instrument, sizeof instrument);
    sf_close(file);
    ASSERT_EQ(got, SF_TRUE);
    ASSERT_EQ(instrument.loop_count, 1);
    EXPECT_EQ(instrument.loops[0].mode, SF_LOOP_FORWARD);
    EXPECT_EQ(instrument.loops[0].start, 1234u);
    EXPECT_EQ(instrument.loops[0].end, 20011u); // libsndfile's end is one past the last frame
    EXPECT_EQ(instrument.basenote, 69);
}

INSTANTIATE_TEST_SUITE_P(Carriers, LoopPointsRoundTrip,
                         ::testing::Values(CarrierCase{"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                                           CarrierCase{"aiffFloat", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
                                           CarrierCase{"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
                                           CarrierCase{"vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
                                           CarrierCase{"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS}),
                         [](const ::testing::TestParamInfo<CarrierCase>& param) { return std::string(param.param.name); });

TEST(UnityNote, IsTheNoteBelowAndTheCentsAboveIt) {
    EXPECT_EQ(unityNoteOf(69.37).note, 69);
    EXPECT_EQ(unityNoteOf(69.37).centsAbove, 37);
    EXPECT_EQ(unityNoteOf(68.996).note, 69);
    EXPECT_EQ(unityNoteOf(68.996).centsAbove, 0);
}

} // namespace
} // namespace sorvane
