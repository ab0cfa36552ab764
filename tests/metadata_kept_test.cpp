// What a file carries besides its audio, through the real programs, read
// back by other code than ours: a chunk walker of this file for WAV and
// AIFF, metaflac (and flac -t) for FLAC, vorbiscomment for Ogg Vorbis,
// libopusfile for Ogg Opus.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opus/opusfile.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>

#include "audio_io/sndfile_handle.hpp"
#include "test_support.hpp"

namespace sorvane {
namespace {

using test::appendChunks;
using test::Bytes;
using test::chunksOf;
using test::RawChunk;
using test::run;
using test::ProgramResult;
using test::TempDir;

// Comments as NAME=value lines, the name in capitals, sorted.
std::vector<std::string> commentsOf(const std::string& path, const std::string& carrier) {
    std::vector<std::string> lines;
    if (carrier == "opus") {
        int error = 0;
        OggOpusFile* file = op_open_file(path.c_str(), &error);
        EXPECT_NE(file, nullptr) << path;
        if (file != nullptr) {
            const OpusTags* tags = op_tags(file, -1);
            for (int i = 0; i < tags->comments; ++i) {
                lines.emplace_back(tags->user_comments[i], static_cast<std::size_t>(tags->comment_lengths[i]));
            }
            op_free(file);
        }
    } else {
        std::string text = run((carrier == "flac" ? "metaflac --export-tags-to=- '" : "vorbiscomment -l -R '") + path + "'");
        for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
            end = std::min(text.find('\n', at), text.size());
            lines.push_back(text.substr(at, end - at));
        }
    }
    for (std::string& line : lines) {
        std::transform(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(line.find('=')), line.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

const std::string kPicture = [] {
    std::string png = "\x89PNG\r\n\x1a\n";
    png += std::string(300, 'p'); // only its bytes matter here
    return png;
}();

// The FLAC picture block of kPicture, as METADATA_BLOCK_PICTURE holds it in base64.
std::string pictureComment() {
    TagLib::FLAC::Picture picture;
    picture.setType(TagLib::FLAC::Picture::FrontCover);
    picture.setMimeType("image/png");
    picture.setData(TagLib::ByteVector(kPicture.data(), static_cast<unsigned>(kPicture.size())));
    return "METADATA_BLOCK_PICTURE=" + std::string(picture.render().toBase64().data(), picture.render().toBase64().size());
}

struct Carrier {
    const char* name;
    int format;
};

// What describes the recording, on top of the audio, and what points into it.
std::vector<RawChunk> describingChunks(const std::string& carrier) {
    if (carrier == "wav") {
        Bytes bext(602, 'b');
        bext.insert(bext.end(), {'H', 'i', 's', 't'});
        return {{"bext", bext}, {"iXML", Bytes{'<', 'i', '/', '>', '\n'}}, {"xtra", Bytes(60000, 'x')}};
    }
    return {{"APPL", Bytes{'s', 'r', 'v', 'n', 'd', 'a', 't'}}, {"xtra", Bytes(60000, 'x')}};
}

RawChunk pointingChunk(const std::string& carrier) {
    if (carrier == "wav") { // one cue point at frame 300
        return {"cue ", Bytes{1, 0, 0, 0, 1, 0, 0, 0, 44, 1, 0, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0, 0, 0, 0, 0, 44, 1, 0, 0}};
    }
    return {"MARK", Bytes{0, 1, 0, 7, 0, 0, 1, 44, 4, 'u', 's', 'e', 'r', 0}}; // marker 7 "user" at frame 300
}

const std::vector<std::string> kComments = {"ARTIST=Åse Fjeld", "COPYRIGHT=CC0", "REPLAYGAIN_TRACK_GAIN=-3.20 dB",
                                            "TITLE=Kelp at dusk"};

void makeNote(const std::string& path, const Carrier& carrier) {
    test::writeAudio(path, carrier.format, 48000, 2, test::sustainedNote({48000, 2, 220.0, 2.0, 0.002, 0.001}));
    const std::string name = carrier.name;
    if (name == "wav" || name == "aiff") {
        for (const RawChunk& chunk : describingChunks(name)) {
            appendChunks(path, {chunk});
        }
        appendChunks(path, {pointingChunk(name)});
        return;
    }
    const TagLib::ByteVector picture(kPicture.data(), static_cast<unsigned>(kPicture.size()));
    auto tag = [&](TagLib::File& file, TagLib::Ogg::XiphComment* comment) {
        for (const std::string& line : kComments) {
            comment->addField(line.substr(0, line.find('=')),
                              TagLib::String(line.substr(line.find('=') + 1), TagLib::String::UTF8));
        }
        comment->addField("LOOPSTART", "5");
        comment->addField("LOOPLENGTH", "100");
        auto* p = new TagLib::FLAC::Picture;
        p->setType(TagLib::FLAC::Picture::FrontCover);
        p->setMimeType("image/png");
        p->setData(picture);
        if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(&file)) {
            flac->addPicture(p);
        } else {
            comment->addPicture(p);
        }
        ASSERT_TRUE(file.save());
    };
    if (name == "flac") {
        TagLib::FLAC::File file(path.c_str());
        tag(file, file.xiphComment(true));
    } else if (name == "opus") {
        TagLib::Ogg::Opus::File file(path.c_str());
        tag(file, file.tag());
    } else {
        TagLib::Ogg::Vorbis::File file(path.c_str());
        tag(file, file.tag());
    }
}

struct KeptCase {
    Carrier carrier;
    bool sustain; // sorvane-sustain, else sorvane
    bool inPlace;
};

void PrintTo(const KeptCase& c, std::ostream* os) { *os << c.carrier.name; }

class KeptTest : public ::testing::TestWithParam<KeptCase> {};

// sorvane makes new audio: what describes the recording stays, what points
// into the old audio goes. sorvane-sustain only adds loop points: everything
// stays as it was, and the loop replaces the old one, never beside it.
TEST_P(KeptTest, WhatDescribesTheRecordingStaysAndOldLoopsGo) {
    const KeptCase& c = GetParam();
    const std::string name = c.carrier.name;
    TempDir dir;
    const std::string note = dir.file("note." + name);
    makeNote(note, c.carrier);
    const std::string out = c.inPlace ? note : dir.file("out." + name);
    const ProgramResult r = c.sustain ? test::runProgram(test::sustainExecutable(), {note, out, "--no-crossfade"})
                                      : test::runSorvaneExecutable({note, out, "PINGPONG"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string loopStart;
    if (c.sustain) {
        const std::size_t at = r.out.find("loop_start=");
        loopStart = r.out.substr(at + 11, r.out.find(' ', at) - at - 11);
    }

    if (name == "wav" || name == "aiff") {
        const std::vector<RawChunk> chunks = chunksOf(out);
        const auto count = [&](const std::string& id) {
            return std::count_if(chunks.begin(), chunks.end(), [&](const RawChunk& k) { return k.id == id; });
        };
        for (const RawChunk& kept : describingChunks(name)) {
            EXPECT_TRUE(std::any_of(chunks.begin(), chunks.end(), [&](const RawChunk& k) {
                return k.id == kept.id && k.data == kept.data;
            })) << kept.id << " lost";
        }
        const RawChunk pointing = pointingChunk(name);
        if (name == "wav") {
            EXPECT_EQ(count(pointing.id), c.sustain ? 1 : 0);
            EXPECT_EQ(count("smpl"), c.sustain ? 1 : 0);
        } else {
            const auto mark = std::find_if(chunks.begin(), chunks.end(), [](const RawChunk& k) { return k.id == "MARK"; });
            const bool userMarker = mark != chunks.end() && std::search(mark->data.begin(), mark->data.end(),
                                                                        pointing.data.begin() + 2, pointing.data.end()) != mark->data.end();
            EXPECT_EQ(userMarker, c.sustain) << "the user's marker";
            EXPECT_EQ(count("MARK"), c.sustain ? 1 : 0);
            EXPECT_EQ(count("INST"), c.sustain ? 1 : 0);
        }
        return;
    }
    std::vector<std::string> expected = kComments;
    expected.push_back(pictureComment());
    if (c.sustain) {
        expected.push_back("LOOPLENGTH=" + std::to_string(std::stoul(r.out.substr(r.out.find("loop_end=") + 9)) + 1 -
                                                          std::stoul(loopStart)));
        expected.push_back("LOOPSTART=" + loopStart);
    }
    std::vector<std::string> comments = commentsOf(out, name);
    if (name == "flac") {
        const std::string picture = dir.file("picture");
        run("metaflac --export-picture-to='" + picture + "' '" + out + "'");
        EXPECT_EQ(test::readTextFile(picture), kPicture);
        EXPECT_EQ(run("flac -t -s '" + out + "' 2>&1 && echo fine"), "fine\n");
        comments.push_back(pictureComment()); // metaflac keeps pictures apart from the comments
    }
    std::sort(expected.begin(), expected.end());
    std::sort(comments.begin(), comments.end());
    comments.erase(std::remove_if(comments.begin(), comments.end(),
                                  [](const std::string& line) { return line.rfind("ENCODER=", 0) == 0 || line.empty(); }),
                   comments.end());
    EXPECT_EQ(comments, expected);
}

std::vector<KeptCase> keptCases() {
    const Carrier carriers[] = {{"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                                {"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24},
                                {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
                                {"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS}};
    std::vector<KeptCase> cases;
    for (const Carrier& carrier : carriers) {
        for (const bool sustain : {false, true}) {
            for (const bool inPlace : {false, true}) {
                cases.push_back({carrier, sustain, inPlace});
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Carriers, KeptTest, ::testing::ValuesIn(keptCases()),
                         [](const ::testing::TestParamInfo<KeptCase>& p) {
                             return std::string(p.param.carrier.name) + (p.param.sustain ? "Sustain" : "Sorvane") +
                                    (p.param.inPlace ? "InPlace" : "NewFile");
                         });

// A lossy note at `level` (libsndfile's compression level: 0 finest).
void makeLossyNote(const std::string& path, int format, double level) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = format;
    SndFileHandle file(sf_open(path.c_str(), SFM_WRITE, &info));
    ASSERT_TRUE(file) << sf_strerror(nullptr);
    if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
        int constant = SF_BITRATE_MODE_CONSTANT;
        sf_command(file.get(), SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
        sf_command(file.get(), SFC_SET_BITRATE_MODE, &constant, sizeof constant);
    } else {
        sf_command(file.get(), SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    // Bow noise on the note, so that no encoder finds it cheap.
    const std::vector<double> samples = test::sustainedNote({48000, 2, 220.0, 2.0, 0.002, 0.05});
    ASSERT_EQ(sf_writef_double(file.get(), samples.data(), 96000), 96000);
}

// kbit/s: the higher of a Vorbis file's nominal and average rates; an MP3's
// or Opus file's average, as TagLib reads them.
double bitRateOf(const std::string& path) {
    if (path.size() > 4 && path.substr(path.size() - 4) == ".mp3") {
        TagLib::MPEG::File file(path.c_str());
        return file.audioProperties() ? file.audioProperties()->bitrate() : 0;
    }
    if (path.size() > 5 && path.substr(path.size() - 5) == ".opus") {
        TagLib::Ogg::Opus::File file(path.c_str());
        return file.audioProperties() ? file.audioProperties()->bitrate() : 0;
    }
    TagLib::Ogg::Vorbis::File file(path.c_str());
    return file.audioProperties() ? std::max(file.audioProperties()->bitrateNominal() / 1000.0,
                                             static_cast<double>(file.audioProperties()->bitrate()))
                                  : 0;
}

struct LossyCase {
    const char* name;
    int format;
    double level;
    const char* extension;
};

void PrintTo(const LossyCase& c, std::ostream* os) { *os << c.name; }

class LossyTest : public ::testing::TestWithParam<LossyCase> {};

// A lossy output is encoded at no lower a rate than its input, for sorvane
// and for a blend that sorvane-sustain was asked for.
TEST_P(LossyTest, OutputsAreEncodedNoLowerThanTheirInput) {
    const LossyCase& c = GetParam();
    TempDir dir;
    const std::string note = dir.file(std::string("note.") + c.extension);
    makeLossyNote(note, c.format, c.level);
    const double input = bitRateOf(note);
    ASSERT_GT(input, 0.0);
    const std::string loop = dir.file(std::string("loop.") + c.extension);
    ASSERT_EQ(test::runSorvaneExecutable({note, loop, "PINGPONG"}).status, 0);
    EXPECT_GE(bitRateOf(loop), input) << "sorvane";
    if (c.format != (SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III)) {
        const std::string blended = dir.file(std::string("blended.") + c.extension);
        const ProgramResult r = test::runProgram(test::sustainExecutable(), {note, blended, "--crossfade", "30"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_GE(bitRateOf(blended), input) << "sorvane-sustain";
    }
}

INSTANTIATE_TEST_SUITE_P(Encoders, LossyTest,
                         ::testing::Values(LossyCase{"vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0.2, "ogg"},
                                           LossyCase{"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 0.4, "opus"},
                                           LossyCase{"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 0.3, "mp3"}),
                         [](const ::testing::TestParamInfo<LossyCase>& p) { return std::string(p.param.name); });

// Adding the loop to a lossy note leaves its packets as they were: the
// decoded samples are the very same, and the file grows by the comments alone.
TEST(LossyNote, KeepsItsPacketsWhenOnlyTheLoopIsAdded) {
    TempDir dir;
    const std::string note = dir.file("note.ogg");
    makeLossyNote(note, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0.5);
    const std::size_t size = test::readBytes(note).size();
    const std::vector<double> before = test::readAudio(note).samples;
    const ProgramResult r = test::runProgram(test::sustainExecutable(), {note, note});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::readAudio(note).samples, before);
    EXPECT_LT(test::readBytes(note).size(), size + 100);
}

// The Opus loop's points are where libopusfile, as players use it, finds
// the frames they name: its length counts the frames libsndfile decodes,
// and op_pcm_seek to LOOPSTART plays the very audio that starts the loop.
// (SDL_mixer 2.6 plays such loops short: it takes bytes off a count of
// samples where it wraps, a fault of its own.)
TEST(LossyNote, OpusLoopPointsAreWherePlayersSeek) {
    TempDir dir;
    const std::string note = dir.file("note.opus");
    makeLossyNote(note, SF_FORMAT_OGG | SF_FORMAT_OPUS, 0.4);
    const ProgramResult r = test::runProgram(test::sustainExecutable(), {note, note});
    ASSERT_EQ(r.status, 0) << r.err;
    const test::AudioFile decoded = test::readAudio(note);
    int error = 0;
    OggOpusFile* file = op_open_file(note.c_str(), &error);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(op_pcm_total(file, -1), decoded.info.frames);
    const OpusTags* tags = op_tags(file, -1);
    const char* start = opus_tags_query(tags, "LOOPSTART", 0);
    ASSERT_NE(start, nullptr);
    const long loopStart = std::stol(start);
    ASSERT_EQ(op_pcm_seek(file, loopStart), 0);
    std::vector<float> played(2 * 4000);
    for (int done = 0; done < 4000;) {
        const int got = op_read_float(file, played.data() + 2 * done, 2 * (4000 - done), nullptr);
        ASSERT_GT(got, 0);
        done += got;
    }
    op_free(file);
    // Decoding from a seek is close to decoding from the start, not equal to
    // it: the frames are matched by where they agree best, which must be at
    // no offset at all.
    long best = 0;
    double least = 1e300;
    for (long offset = -400; offset <= 400; ++offset) {
        double distance = 0.0;
        for (long k = 1000; k < 3000; ++k) {
            const double d = played[static_cast<std::size_t>(2 * k)] -
                             decoded.samples[static_cast<std::size_t>(2 * (loopStart + k + offset))];
            distance += d * d;
        }
        if (distance < least) {
            least = distance;
            best = offset;
        }
    }
    EXPECT_EQ(best, 0);
}

} // namespace
} // namespace sorvane
