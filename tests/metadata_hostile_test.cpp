// What real files carry, and what broke on it: tags in Latin-1, files of
// many chunks (empty, odd, large, cut short), old loop carriers beside the
// new loop, FLAC blocks and ID3v2 tags, comments that are empty or no
// UTF-8, RF64, and lossy inputs named by a pipe's path. Read back by
// metaflac, flac, vorbiscomment, TagLib and a chunk walker of this file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/tpropertymap.h>

#include "test_support.hpp"

namespace sorvane {
namespace {

using test::appendChunks;
using test::Bytes;
using test::chunksOf;
using test::little32;
using test::RawChunk;
using test::run;
using test::ProgramResult;
using test::TempDir;

constexpr int kRate = 48000;

std::string quoted(const std::string& path) { return "'" + path + "'"; }

void writeNote(const std::string& path, int format, double seconds = 2.0) {
    test::writeAudio(path, format, kRate, 2, test::sustainedNote({kRate, 2, 220.0, seconds, 0.002, 0.001}));
}

ProgramResult sustain(const std::vector<std::string>& args) {
    return test::runProgram(test::sustainExecutable(), args);
}

// RIFF INFO as Windows tools write it: Latin-1, one value in UTF-8 beside.
RawChunk latinInfo() {
    Bytes list = {'I', 'N', 'F', 'O'};
    for (const auto& [id, value] : std::vector<std::pair<std::string, std::string>>{
             {"ICOP", "\xA9 2024 Studio"}, {"INAM", "Caf\xE9 at dusk"}, {"IART", "\xC3\x85se Fjeld"}}) {
        list.insert(list.end(), id.begin(), id.end());
        const auto size = static_cast<std::uint32_t>(value.size() + 1);
        for (int k = 0; k < 4; ++k) {
            list.push_back(static_cast<unsigned char>(size >> (8 * k)));
        }
        list.insert(list.end(), value.begin(), value.end());
        list.push_back(0);
        if (size % 2 != 0) {
            list.push_back(0);
        }
    }
    return {"LIST", list};
}

class TagEncodingTest : public ::testing::TestWithParam<std::string> {};

// Tags in Latin-1 reach FLAC, Ogg and Opus as the text they meant, through
// sorvane and sorvane-sustain alike, and MP3's ID3 tag through sorvane (an
// MP3 has no place for the loop sorvane-sustain writes).
TEST_P(TagEncodingTest, LatinOneTagsArriveAsTheirText) {
    TempDir dir;
    const std::string note = dir.file("note.wav");
    writeNote(note, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    appendChunks(note, {latinInfo()});
    for (const bool sustained : {false, true}) {
        if (sustained && GetParam() == "mp3") {
            continue;
        }
        const std::string out = dir.file(std::string(sustained ? "sustained." : "loop.") + GetParam());
        const ProgramResult r = sustained ? sustain({note, out}) : test::runSorvaneExecutable({note, out, "PINGPONG"});
        ASSERT_EQ(r.status, 0) << r.err;
        const TagLib::FileRef file(out.c_str());
        ASSERT_FALSE(file.isNull()) << out;
        const TagLib::PropertyMap tags = file.file()->properties();
        EXPECT_EQ(tags["COPYRIGHT"].toString().to8Bit(true), "\xC2\xA9 2024 Studio") << out;
        EXPECT_EQ(tags["TITLE"].toString().to8Bit(true), "Caf\xC3\xA9 at dusk") << out;
        EXPECT_EQ(tags["ARTIST"].toString().to8Bit(true), "\xC3\x85se Fjeld") << out;
    }
}

INSTANTIATE_TEST_SUITE_P(Outputs, TagEncodingTest, ::testing::Values("flac", "ogg", "opus", "mp3"));

// A loop written to a standard output that cannot be read back (> file)
// cannot have chunks added once complete: its header keeps the tags.
TEST(StandardOutput, KeepsTheTagsInTheHeader) {
    TempDir dir;
    const std::string note = dir.file("note.wav");
    writeNote(note, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    appendChunks(note, {latinInfo()});
    test::RunOptions redirected;
    redirected.stdoutPath = dir.file("loop.wav");
    const ProgramResult r = test::runSorvaneExecutable({note, "-", "PINGPONG"}, redirected);
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes written = test::readBytes(dir.file("loop.wav"));
    const std::string title = "INAM";
    const auto at = std::search(written.begin(), written.end(), title.begin(), title.end());
    ASSERT_NE(at, written.end()) << "no title";
    const std::string text = "Caf\xC3\xA9 at dusk"; // as UTF-8, as libsndfile writes every tag
    const Bytes value(text.begin(), text.end());
    EXPECT_NE(std::search(at, written.end(), value.begin(), value.end()), written.end())
        << std::string(at, at + std::min<std::ptrdiff_t>(80, written.end() - at));
    EXPECT_EQ(test::readAudio(dir.file("loop.wav")).info.frames, 2 * 96000);
}

struct ChunkCase {
    const char* name;
    int format;
    const char* extension;
    bool sustained; // sorvane-sustain in place, else sorvane to a new file
};

void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }

class ManyChunksTest : public ::testing::TestWithParam<ChunkCase> {};

// Forty chunks of a file's own, among them an empty one, odd ones, one of
// two megabytes and a last one cut short, go to the output in their order
// and with their bytes (what a cut chunk holds, and no byte more).
TEST_P(ManyChunksTest, EveryChunkGoesAlongInItsOrder) {
    const ChunkCase& c = GetParam();
    TempDir dir;
    const std::string note = dir.file(std::string("note.") + c.extension);
    writeNote(note, c.format);
    std::vector<RawChunk> own;
    for (int i = 0; i < 40; ++i) {
        char id[5];
        std::snprintf(id, sizeof id, "x%03d", i);
        own.push_back({id, Bytes(static_cast<std::size_t>(i % 7), static_cast<unsigned char>('a' + i % 26))});
    }
    Bytes large(2u << 20);
    for (std::size_t k = 0; k < large.size(); ++k) {
        large[k] = static_cast<unsigned char>(k * 131 >> 7);
    }
    own.push_back({"larg", large});
    own.push_back({"tail", Bytes{'c', 'u', 't', ' ', 's', 'h', 'o', 'r', 't', '!'}});
    appendChunks(note, own, 1000);

    const std::string out = c.sustained ? note : dir.file(std::string("loop.") + c.extension);
    const ProgramResult r = c.sustained ? sustain({note, out, "--no-crossfade"})
                                        : test::runSorvaneExecutable({note, out, "PINGPONG"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<RawChunk> kept;
    for (const RawChunk& chunk : chunksOf(out)) {
        if (chunk.id[0] == 'x' || chunk.id == "larg" || chunk.id == "tail") {
            kept.push_back(chunk);
        }
    }
    ASSERT_EQ(kept.size(), own.size());
    for (std::size_t i = 0; i < own.size(); ++i) {
        EXPECT_TRUE(kept[i] == own[i]) << own[i].id << " differs or is out of order";
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ManyChunksTest,
                         ::testing::Values(ChunkCase{"wavSorvane", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "wav", false},
                                           ChunkCase{"wavSustain", SF_FORMAT_WAV | SF_FORMAT_PCM_24, "wav", true},
                                           ChunkCase{"aiffSorvane", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "aiff", false},
                                           ChunkCase{"aiffSustain", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, "aiff", true}),
                         [](const ::testing::TestParamInfo<ChunkCase>& p) { return std::string(p.param.name); });


// The loop sorvane-sustain reports: its first frame and one past its last.
std::pair<std::uint64_t, std::uint64_t> reportedLoop(const std::string& out) {
    const std::size_t at = out.find("loop_start=");
    const std::uint64_t start = std::stoull(out.substr(at + 11));
    const std::uint64_t last = std::stoull(out.substr(out.find("loop_end=", at) + 9));
    return {start, last + 1};
}

// A WAV marks one loop: an old smpl and an inst chunk give way to the new
// smpl, and an RF64 note gets its smpl too.
TEST(LoopCarrier, TheNewLoopReplacesEveryOldOneInWavAndRf64) {
    TempDir dir;
    for (const auto& [name, format] : std::vector<std::pair<std::string, int>>{
             {"note.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
             {"note.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_24}}) {
        const std::string note = dir.file(name);
        writeNote(note, format);
        if (name == "note.wav") {
            Bytes smpl(60, 0);
            smpl[12] = 60;       // unity note
            smpl[28] = 1;        // one loop
            smpl[44] = 10;       // from frame 10
            smpl[48] = 20;       // to 20
            appendChunks(note, {{"smpl", smpl}, {"inst", Bytes{60, 0, 0, 0, 127, 1, 127}}});
        }
        for (const std::string& out : {dir.file("out-" + name), dir.file("out-" + name + ".wav"), note}) {
            const ProgramResult r = sustain({note, out});
            ASSERT_EQ(r.status, 0) << out << ": " << r.err;
            const auto [start, end] = reportedLoop(r.out);
            const std::vector<RawChunk> chunks = chunksOf(out);
            std::vector<RawChunk> smpls;
            std::copy_if(chunks.begin(), chunks.end(), std::back_inserter(smpls),
                         [](const RawChunk& k) { return k.id == "smpl"; });
            EXPECT_EQ(std::count_if(chunks.begin(), chunks.end(), [](const RawChunk& k) { return k.id == "inst"; }), 0)
                << out;
            ASSERT_EQ(smpls.size(), 1u) << out;
            ASSERT_GE(smpls[0].data.size(), 60u);
            EXPECT_EQ(little32(smpls[0].data, 12), 57u) << out; // A3
            EXPECT_EQ(little32(smpls[0].data, 44), start) << out;
            EXPECT_EQ(std::uint64_t{little32(smpls[0].data, 48)} + 1, end) << out;
        }
    }
}

// New AIFF markers take ids no kept marker has, within 1 to 32767.
TEST(LoopCarrier, AiffMarkersGetFreeIdsWithinTheirRange) {
    TempDir dir;
    const std::string note = dir.file("note.aiff");
    writeNote(note, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    // Markers 1 ("a"), 32767 ("z") and 3 ("c"); no INST.
    appendChunks(note, {{"MARK", Bytes{0, 3, 0, 1, 0, 0, 0, 5, 1, 'a', 0x7F, 0xFF, 0, 0, 0, 9, 1, 'z',
                                        0, 3, 0, 0, 0, 7, 1, 'c'}}});
    const ProgramResult r = sustain({note, note});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<RawChunk> chunks = chunksOf(note);
    const auto inst = std::find_if(chunks.begin(), chunks.end(), [](const RawChunk& k) { return k.id == "INST"; });
    ASSERT_NE(inst, chunks.end());
    const auto big16 = [](const Bytes& b, std::size_t at) { return b[at] << 8 | b[at + 1]; };
    EXPECT_EQ(big16(inst->data, 10), 2);
    EXPECT_EQ(big16(inst->data, 12), 4);
}

// An Ogg note's old LOOPEND goes with the old loop; comments that are empty
// or no UTF-8 stay, byte for byte.
TEST(LoopCarrier, OggCommentsKeepTheirBytesAndLoseTheOldLoop) {
    TempDir dir;
    const std::string note = dir.file("note.ogg");
    {
        // libsndfile writes a comment's bytes as given, as many taggers do.
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = 2;
        info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        SNDFILE* file = sf_open(note.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        sf_set_string(file, SF_STR_COMMENT, "\xE9t\xE9");
        const std::vector<double> samples = test::sustainedNote({kRate, 2, 220.0, 2.0, 0.002, 0.001});
        sf_writef_double(file, samples.data(), static_cast<sf_count_t>(samples.size() / 2));
        sf_close(file);
    }
    run("vorbiscomment -a -R -t 'LOOPSTART=5' -t 'LOOPLENGTH=100' -t 'LOOPEND=105' -t 'MOOD=' " + quoted(note));
    ASSERT_NE(run("vorbiscomment -l -R " + quoted(note)).find("LOOPEND=105"), std::string::npos);
    const ProgramResult r = sustain({note, note});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string comments = "\n" + run("vorbiscomment -l -R " + quoted(note));
    EXPECT_EQ(comments.find("LOOPEND"), std::string::npos) << comments;
    EXPECT_NE(comments.find("\nMOOD=\n"), std::string::npos) << comments;
    EXPECT_NE(comments.find("\nCOMMENT=\xE9t\xE9\n"), std::string::npos) << comments;
    EXPECT_NE(comments.find("LOOPSTART=" + std::to_string(reportedLoop(r.out).first)), std::string::npos);
}

// A FLAC note made with `flac --keep-foreign-metadata`, with a cue sheet,
// an ID3v2 tag and an empty comment: sorvane-sustain keeps
// every block and byte, so that `flac -d` still restores the WAV's chunks;
// sorvane, whose loop is new audio, drops what points into the old one.
TEST(FlacNote, KeepsItsBlocksAndTagsThroughALoop) {
    TempDir dir;
    const std::string wav = dir.file("source.wav");
    writeNote(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    appendChunks(wav, {{"bext", Bytes(602, 'b')}, {"iXML", Bytes{'<', 'i', '/', '>'}}});
    const std::string made = dir.file("made.flac");
    ASSERT_EQ(run("flac -s -f --keep-foreign-metadata -o " + quoted(made) + " " + quoted(wav) + " 2>/dev/null && echo ok"),
              "ok\n");
    std::ofstream(dir.file("cue.cue")) << "FILE \"source.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
    ASSERT_EQ(run("metaflac --import-cuesheet-from=" + quoted(dir.file("cue.cue")) + " --set-tag='MOOD=' " +
                  quoted(made) + " && echo ok"),
              "ok\n");
    const std::string id3 = std::string("ID3\x03\x00\x00\x00\x00\x00\x0e", 10) + "TIT2" +
                            std::string("\x00\x00\x00\x04\x00\x00\x00" "abc", 10);
    Bytes tagged(id3.begin(), id3.end());
    const Bytes flac = test::readBytes(made);
    tagged.insert(tagged.end(), flac.begin(), flac.end());
    const std::string note = dir.file("note.flac");
    test::writeBytes(note, tagged);

    const std::string loop = dir.file("loop.flac");
    ASSERT_EQ(test::runSorvaneExecutable({note, loop, "PINGPONG"}).status, 0);
    const ProgramResult r = sustain({note, note, "--no-crossfade"});
    ASSERT_EQ(r.status, 0) << r.err;

    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    const std::string before = run("metaflac --list " + quoted(made));
    for (const auto& [file, fresh] : {std::pair{note, false}, std::pair{loop, true}}) {
        EXPECT_EQ(run("flac -t -s " + quoted(file) + " 2>&1 && echo fine"), "fine\n") << file;
        EXPECT_EQ(test::readBytes(file).size() > 10 && std::memcmp(test::readBytes(file).data(), "ID3", 3) == 0, true)
            << file;
        const std::string listed = run("metaflac --list " + quoted(file));
        EXPECT_EQ(count(listed, "type: 2 (APPLICATION)"), fresh ? 0 : count(before, "type: 2 (APPLICATION)")) << file;
        EXPECT_EQ(count(listed, "type: 5 (CUESHEET)"), fresh ? 0u : 1u) << file;
        const std::string tags = run("metaflac --no-utf8-convert --export-tags-to=- " + quoted(file));
        EXPECT_NE(tags.find("MOOD=\n"), std::string::npos) << file << "\n" << tags;
    }
    // The WAV's own chunks come back from the looped note.
    const std::string back = dir.file("back.wav");
    ASSERT_EQ(run("flac -d -s -f --keep-foreign-metadata -o " + quoted(back) + " " + quoted(note) +
                  " 2>/dev/null && echo ok"),
              "ok\n");
    std::vector<std::string> ids;
    for (const RawChunk& chunk : chunksOf(back)) {
        ids.push_back(chunk.id);
    }
    EXPECT_NE(std::find(ids.begin(), ids.end(), "bext"), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), "iXML"), ids.end());
}

struct PipeCase {
    const char* name;
    int format;
    const char* extension;
};

void PrintTo(const PipeCase& c, std::ostream* os) { *os << c.name; }

class PipePathTest : public ::testing::TestWithParam<PipeCase> {};

constexpr int kMp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;

// A lossy input named by a pipe's path (/dev/stdin on a pipe, as <(...) and
// FIFOs are) is read once: each program finishes, none waits for ever.
TEST_P(PipePathTest, EachProgramReadsItOnce) {
    const PipeCase& c = GetParam();
    TempDir dir;
    const std::string note = dir.file(std::string("note.") + c.extension);
    writeNote(note, c.format);
    test::RunOptions piped;
    piped.stdinPath = note;
    piped.stdinIsPipe = true;
    const std::string limit = "30";
    for (const auto& [program, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {test::sorvaneExecutable(), {"/dev/stdin", dir.file("loop.wav"), "PINGPONG"}},
             {test::sustainExecutable(), {"/dev/stdin", dir.file("sustained.wav")}},
             // A note kept in its own format: its packets are copied as read.
             {test::sustainExecutable(),
              {"--no-crossfade", "/dev/stdin", dir.file(std::string("kept.") + (c.format == kMp3 ? "wav" : c.extension))}},
             {test::seamExecutable(), {"/dev/stdin"}}}) {
        std::vector<std::string> timed = {limit, program};
        timed.insert(timed.end(), args.begin(), args.end());
        const ProgramResult r = test::runProgram("/usr/bin/timeout", timed, piped);
        EXPECT_NE(r.status, 124) << program << " waited on the pipe";
        if (program == test::seamExecutable()) {
            EXPECT_LE(r.status, 1) << r.err; // 1 for a click: the whole note is judged as a loop
            EXPECT_NE(r.out.find("Loop:   /dev/stdin\n"), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.status, 0) << program << ": " << r.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lossy, PipePathTest,
                         ::testing::Values(PipeCase{"vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "ogg"},
                                           PipeCase{"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, "opus"},
                                           PipeCase{"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "mp3"}),
                         [](const ::testing::TestParamInfo<PipeCase>& p) { return std::string(p.param.name); });

} // namespace
} // namespace sorvane
