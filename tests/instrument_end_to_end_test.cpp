// sorvane-instrument end to end: the instrument FluidSynth plays from its
// SoundFont, output that does not depend on the number of jobs, and notes
// left out with why.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loops/loop_builders.hpp"
#include "seam/seam_judge.hpp"
#include "dsp/fft_correlation.hpp"
#include "sustain/pitch.hpp"
#include "test_support.hpp"

namespace sorvane {
namespace {

using test::ProgramResult;
using test::TempDir;

constexpr int kRate = 44100;
constexpr double kHeld = 4.0;    // seconds a key is held: past the 3 s notes
constexpr double kRelease = 1.5; // seconds after each key-up
// FluidSynth's pitch, within this of the key; its own interpolation and
// tuning tables round the pitch a little.
constexpr double kPitchCents = 5.0;
constexpr double kSustainDb = 3.0;

// Notes of 3 s, 24-bit stereo, each channel its own (the right one later
// and quieter), named by their notes, one of them 30 cents sharp; the one
// without a name is found by its pitch. Two share a root and differ in
// loudness.
void writeNotes(const TempDir& dir) {
    struct Note {
        const char* name;
        double hz;
        double gain;
    };
    std::filesystem::create_directory(dir.path() / "notes");
    for (const Note& n : {Note{"tone_C3.wav", 130.81, 1.0}, Note{"tone_G3.wav", 199.42, 1.0},
                          Note{"tone_C4_soft.wav", 261.63, 0.3}, Note{"tone_C4_loud.wav", 261.63, 1.0},
                          Note{"tone_take9.wav", 392.00, 1.0}}) {
        std::vector<double> samples = test::sustainedNote({kRate, 2, n.hz, 3.0, 0.0, 0.001});
        for (double& v : samples) {
            v *= n.gain;
        }
        test::writeAudio((dir.path() / "notes" / n.name).string(), SF_FORMAT_WAV | SF_FORMAT_PCM_24, kRate, 2,
                         samples);
    }
}

std::string variableLength(std::uint32_t n) {
    std::string bytes(1, static_cast<char>(n & 0x7F));
    while ((n >>= 7) != 0) {
        bytes.insert(bytes.begin(), static_cast<char>(0x80 | (n & 0x7F)));
    }
    return bytes;
}

// A MIDI file holding each key for kHeld seconds, then kRelease of silence
// (960 ticks a second).
void writeMidi(const std::string& path, int lowKey, int highKey) {
    std::string track;
    for (int key = lowKey; key <= highKey; ++key) {
        track += variableLength(0) + std::string{'\x90', static_cast<char>(key), 100};
        track += variableLength(static_cast<std::uint32_t>(kHeld * 960)) + std::string{'\x80', static_cast<char>(key), 0};
        track += variableLength(static_cast<std::uint32_t>(kRelease * 960)) + std::string{'\xB0', 123, 0};
    }
    track += variableLength(0) + std::string("\xFF\x2F\x00", 3);
    auto be32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    };
    std::ofstream out(path, std::ios::binary);
    out << "MThd" << be32(6) << std::string{0, 0, 0, 1, 1, static_cast<char>(0xE0)} // format 0, 480 per quarter
        << "MTrk" << be32(static_cast<std::uint32_t>(track.size())) << track;
}

double rmsDb(const std::vector<double>& x, std::size_t from, std::size_t to) {
    double sum = 0.0;
    for (std::size_t k = from; k < to && k < x.size(); ++k) {
        sum += x[k] * x[k];
    }
    return 10.0 * std::log10(std::max(sum / static_cast<double>(to - from), 1e-20));
}

// The pitch of frames [from, to) in cents above `key`, from the period the
// autocorrelation pins down over many periods.
std::optional<double> centsAbove(const std::vector<double>& x, std::size_t from, std::size_t to, int key) {
    const std::vector<const double*> channels{x.data() + from};
    const PitchEstimate estimate = estimatePitch(channels, to - from, kRate);
    if (!estimate.pitched) {
        return std::nullopt;
    }
    const double period = refinePeriod(autocorrelationSum(channels, to - from, to - from - 1), estimate.period);
    return 1200.0 * std::log2(kRate / period / (440.0 * std::exp2((key - 69) / 12.0)));
}

// The rendering is continuous at frame p: the sound after it, then before
// it, judged as a loop whose wrap is p.
bool continuousAt(const std::vector<double>& x, std::size_t p) {
    const std::size_t half = kRate / 5;
    ChannelBuffer around(x.begin() + static_cast<std::ptrdiff_t>(p), x.begin() + static_cast<std::ptrdiff_t>(p + half));
    around.insert(around.end(), x.begin() + static_cast<std::ptrdiff_t>(p - half), x.begin() + static_cast<std::ptrdiff_t>(p));
    return judgeSeam(around, ChannelBuffer(), 1, kRate).verdict == SeamVerdict::Smooth;
}

struct Zone {
    int lowKey, highKey, root, tune;
    std::uint64_t start, end, frames;
};

// The notes' zones from the instrument's JSON, for the lowest velocity layer.
std::vector<Zone> zonesOf(const std::string& whole) {
    const std::string json = whole.substr(0, whole.find("\"left_out\""));
    std::vector<Zone> zones;
    for (std::size_t at = json.find("{\"file\""); at != std::string::npos; at = json.find("{\"file\"", at + 1)) {
        auto field = [&](const std::string& name) {
            return std::stoll(json.substr(json.find("\"" + name + "\": ", at) + name.size() + 4));
        };
        const std::size_t keys = json.find("\"keys\": [", at) + 9;
        const std::size_t velocities = json.find("\"velocities\": [", at) + 15;
        if (std::stoi(json.substr(velocities)) != 1) {
            continue;
        }
        zones.push_back({std::stoi(json.substr(keys)), std::stoi(json.substr(json.find(", ", keys) + 2)),
                         static_cast<int>(field("root")), static_cast<int>(field("tune_cents")),
                         static_cast<std::uint64_t>(field("first_frame")),
                         static_cast<std::uint64_t>(field("last_frame")) + 1, static_cast<std::uint64_t>(field("frames"))});
    }
    return zones;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every key of the instrument, held past its sample's length through
// FluidSynth: at the key's pitch, still sounding at its level, every wrap
// of its loop continuous, and its release heard after the key is let go.
TEST(Instrument, FluidSynthPlaysEveryKeyAsTheSoundFontSays) {
    TempDir dir;
    writeNotes(dir);
    const ProgramResult made =
        test::runProgram(test::instrumentExecutable(), {"-q", "-o", dir.file("strings"), dir.file("notes")});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::vector<Zone> zones = zonesOf(readFile(dir.file("strings/strings.json")));
    ASSERT_EQ(zones.size(), 4u);
    int lowest = 127;
    int highest = 0;
    for (const Zone& z : zones) {
        lowest = std::min(lowest, z.lowKey);
        highest = std::max(highest, z.highKey);
    }
    EXPECT_EQ(lowest, 36);
    EXPECT_EQ(highest, 79); // the pitch of tone_take9, G4, an octave up
    writeMidi(dir.file("keys.mid"), lowest, highest);
    const ProgramResult played = test::runProgram(
        "/usr/bin/fluidsynth", {"-ni", "-q", "-g", "1", "-R", "0", "-C", "0", "-r", std::to_string(kRate), "-F",
                                dir.file("played.wav"), dir.file("strings/strings.sf2"), dir.file("keys.mid")});
    ASSERT_EQ(played.status, 0) << played.err;
    const test::AudioFile rendering = test::readAudio(dir.file("played.wav"));
    std::vector<double> left;
    for (std::size_t k = 0; k < rendering.samples.size(); k += 2) {
        left.push_back(rendering.samples[k]);
    }
    const auto held = static_cast<std::size_t>(kHeld * kRate);
    const auto each = static_cast<std::size_t>((kHeld + kRelease) * kRate);
    for (int key = lowest; key <= highest; ++key) {
        const std::size_t on = static_cast<std::size_t>(key - lowest) * each;
        ASSERT_LE(on + each, left.size()) << key;
        const Zone* zone = nullptr;
        for (const Zone& z : zones) {
            zone = key >= z.lowKey && key <= z.highKey ? &z : zone;
        }
        ASSERT_NE(zone, nullptr) << key;
        // At its pitch, past the sample's own length.
        const std::optional<double> cents = centsAbove(left, on + 3 * kRate, on + 3 * kRate + kRate / 2, key);
        ASSERT_TRUE(cents.has_value()) << "key " << key;
        EXPECT_NEAR(*cents, 0.0, kPitchCents) << "key " << key;
        // Still sounding at its level.
        EXPECT_NEAR(rmsDb(left, on + 3 * kRate + kRate / 2, on + held - kRate / 10),
                    rmsDb(left, on + kRate, on + 3 * kRate / 2), kSustainDb)
            << "key " << key;
        // Each wrap continuous: the sample starts where the rendering first
        // leaves silence and plays at the key's rate from its root.
        std::size_t first = on;
        while (first < on + held && left[first] == 0.0) {
            ++first;
        }
        const double rate = std::exp2((key - zone->root) / 12.0 + zone->tune / 1200.0);
        const double until = static_cast<double>(on + held - kRate / 5);
        for (std::uint64_t wrap = zone->end; static_cast<double>(first - 1) + static_cast<double>(wrap) / rate < until;
             wrap += zone->end - zone->start) {
            const auto at = static_cast<std::size_t>(std::lround(static_cast<double>(first - 1) + static_cast<double>(wrap) / rate));
            for (std::size_t p = at - 3; p <= at + 3; ++p) {
                EXPECT_TRUE(continuousAt(left, p)) << "key " << key << ", wrap near frame " << at - on << " of the note";
            }
        }
        // The release heard once the key is up, and over within the pause.
        const double sustain = rmsDb(left, on + held - kRate / 5, on + held);
        EXPECT_GT(rmsDb(left, on + held, on + held + kRate / 20), sustain - 12.0) << "key " << key;
        EXPECT_LT(rmsDb(left, on + each - kRate / 5, on + each), sustain - 40.0) << "key " << key;
    }
}

// Whatever the number of jobs, every file of the instrument is the same,
// byte for byte.
TEST(Instrument, TheSameBytesWhateverTheJobs) {
    TempDir dir;
    writeNotes(dir);
    const std::vector<std::string> files = {"samples/tone_C3.flac", "samples/tone_take9.flac", "one.sfz",
                                            "one.sf2", "one.json", "index.html"};
    std::vector<std::string> first;
    for (const char* jobs : {"1", "2", "5"}) {
        const std::string out = dir.file(std::string("jobs") + jobs);
        const ProgramResult made = test::runProgram(test::instrumentExecutable(),
                                                    {"-q", "--jobs", jobs, "--name", "one", "-o", out, dir.file("notes")});
        ASSERT_EQ(made.status, 0) << made.err;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::string bytes = readFile(out + "/" + files[i]);
            ASSERT_FALSE(bytes.empty()) << files[i];
            if (first.size() < files.size()) {
                first.push_back(bytes);
            } else {
                EXPECT_TRUE(bytes == first[i]) << files[i] << " differs with --jobs " << jobs;
            }
        }
    }
}

// A note that cannot be looped is left out with why, the rest is built,
// and the run ends with status 1.
TEST(Instrument, LeavesOutWhatCannotBeLoopedAndBuildsTheRest) {
    TempDir dir;
    writeNotes(dir);
    test::writeAudio(dir.file("notes/silence_C5.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, kRate, 1,
                     std::vector<double>(kRate * 2, 0.0));
    std::ofstream(dir.file("notes/readme_D5.wav")) << "not a sound";
    std::vector<double> noise(kRate * 2);
    test::Lcg random(3);
    for (double& v : noise) {
        v = 0.3 * random.uniform();
    }
    test::writeAudio(dir.file("notes/noise_take2.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, kRate, 1, noise);
    const ProgramResult made = test::runProgram(test::instrumentExecutable(), {"-o", dir.file("out"), dir.file("notes")});
    EXPECT_EQ(made.status, 1) << made.err;
    for (const char* note : {"silence_C5.wav: left out: the sound is silent", "readme_D5.wav: left out: ",
                             "noise_take2.wav: left out: no pitch found, and its name gives no note"}) {
        EXPECT_NE(made.err.find(note), std::string::npos) << note << "\n" << made.err;
    }
    const std::string json = readFile(dir.file("out/out.json"));
    EXPECT_EQ(zonesOf(json).size(), 4u);
    EXPECT_NE(json.find("\"left_out\": [\n    {\"file\": \"" + dir.file("notes/noise_take2.wav")), std::string::npos)
        << json;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/samples/noise_take2.flac")));
    EXPECT_NE(made.out.find("5 of 8 notes (3 left out)"), std::string::npos) << made.out;
}

// A note whose name and pitch disagree keeps its name's note, with a
// warning naming the file.
TEST(Instrument, WarnsWhereANameAndThePitchDisagree) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "notes");
    test::writeAudio(dir.file("notes/pad_C4.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, kRate, 2,
                     test::sustainedNote({kRate, 2, 293.66, 3.0, 0.0, 0.001})); // a D4
    const ProgramResult made = test::runProgram(test::instrumentExecutable(), {"-q", "-o", dir.file("out"), dir.file("notes")});
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.err.find("pad_C4.wav: Warning: its name says C4, its pitch is +200 cents from that (D4)"),
              std::string::npos)
        << made.err;
    const std::string json = readFile(dir.file("out/out.json"));
    EXPECT_NE(json.find("\"root\": 60, \"tune_cents\": 0, \"root_from\": \"name\""), std::string::npos) << json;
}

TEST(Instrument, SaysWhatTheCommandLineLacks) {
    for (const auto& [args, message] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"notes"}, "Error: name the instrument's folder with -o DIR."},
             {{"-o", "out"}, "Error: give the notes, as files or folders of them."},
             {{"-o", "out", "--format", "mp3", "a.wav"}, "Error: --format takes flac or wav, not \"mp3\"."},
             {{"-o", "out", "--jobs", "0", "a.wav"}, "Error: --jobs takes a whole number from 1 to 1024, not \"0\"."}}) {
        const ProgramResult r = test::runProgram(test::instrumentExecutable(), args);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.err.rfind(message, 0), 0u) << r.err;
    }
}

} // namespace
} // namespace sorvane
