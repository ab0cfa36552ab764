// sorvane-instrument's folder: the old instrument stays exactly as it was
// through a run that is interrupted, refused or cannot write; what else the
// folder holds stays; and nothing a note's or folder's name holds writes a
// line of its own into the SFZ.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using test::ProgramResult;
using test::TempDir;

constexpr int kRate = 44100;

void writeNotes(const fs::path& folder, const std::vector<double>& hertz, double seconds) {
    fs::create_directories(folder);
    const char* names[] = {"C", "D", "E", "F", "G", "A", "B"};
    for (std::size_t i = 0; i < hertz.size(); ++i) {
        const std::string name = std::string("pad_") + names[i % 7] + std::to_string(3 + i / 7) + ".wav";
        test::writeAudio((folder / name).string(), SF_FORMAT_WAV | SF_FORMAT_PCM_24, kRate, 2,
                         test::sustainedNote({kRate, 2, hertz[i], seconds, 0.0, 0.001}));
    }
}

const std::vector<double> kFew = {130.81, 146.83, 164.81};
// Enough notes that a rerun is still writing samples when it is stopped.
const std::vector<double> kMany = {130.81, 146.83, 164.81, 174.61, 196.00, 220.00, 246.94,
                                   261.63, 293.66, 329.63, 349.23, 392.00, 440.00, 493.88};

// Every file below `folder` with its bytes.
std::map<std::string, test::Bytes> snapshot(const fs::path& folder) {
    std::map<std::string, test::Bytes> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), folder).string()] = test::readBytes(entry.path().string());
        }
    }
    return files;
}

// Names of staging folders left beside the instrument.
std::vector<std::string> leftovers(const fs::path& parent) {
    std::vector<std::string> found;
    for (const std::string& name : test::entriesOf(parent.string())) {
        if (name.find(".sorvane-") != std::string::npos) {
            found.push_back(name);
        }
    }
    return found;
}

ProgramResult build(const std::vector<std::string>& args, const test::RunOptions& options = {}) {
    return test::runProgram(test::instrumentExecutable(), args, options);
}

class InterruptedRerun : public ::testing::TestWithParam<int> {};

// A rerun into a folder that holds an instrument, stopped while it writes
// its samples: the old instrument is there byte for byte, and nothing else.
TEST_P(InterruptedRerun, LeavesTheOldInstrumentAsItWas) {
    if (test::runningUnderWrapper()) {
        GTEST_SKIP() << "the signal would reach the wrapper";
    }
    TempDir dir;
    writeNotes(dir.path() / "old", kFew, 2.0);
    writeNotes(dir.path() / "new", kMany, 3.0);
    const std::string out = dir.file("pad");
    ASSERT_EQ(build({"-q", "-o", out, dir.file("old")}).status, 0);
    const auto before = snapshot(out);

    const std::string executable = test::instrumentExecutable();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(executable.c_str(), executable.c_str(), "-q", "-j", "1", "--crossfade", "20", "-o", out.c_str(),
              dir.file("new").c_str(), nullptr);
        _exit(127);
    }
    // Stopped once its first sample is written, in the staging folder.
    bool writing = false;
    for (int wait = 0; wait < 4000 && !writing; ++wait) {
        for (const std::string& staging : leftovers(dir.path())) {
            std::error_code error;
            writing = writing || !fs::is_empty(dir.path() / staging / "samples", error);
        }
        if (!writing) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_TRUE(writing) << "the rerun never wrote a sample";
    kill(pid, GetParam());
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam()) << "status " << status;
    EXPECT_TRUE(snapshot(out) == before) << "the old instrument changed";
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedRerun, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& p) { return std::to_string(p.param); });

// While one run holds the folder, another is refused and changes nothing.
TEST(InstrumentFolder, ASecondRunIntoTheSameFolderIsRefused) {
    TempDir dir;
    writeNotes(dir.path() / "notes", kFew, 2.0);
    const std::string out = dir.file("pad");
    ASSERT_EQ(build({"-q", "-o", out, dir.file("notes")}).status, 0);
    const auto before = snapshot(out);
    const int held = open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const ProgramResult second = build({"-q", "-o", out, dir.file("notes")});
    close(held);
    EXPECT_EQ(second.status, 2);
    EXPECT_NE(second.err.find(out + ": Error: another sorvane-instrument is building into this folder"),
              std::string::npos)
        << second.err;
    EXPECT_TRUE(snapshot(out) == before);
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// A sample that cannot be written (here past a file-size limit, as on a
// full disk) fails the run, not the note: no smaller instrument replaces
// the old one.
TEST(InstrumentFolder, ASampleThatCannotBeWrittenLeavesTheOldInstrument) {
    TempDir dir;
    writeNotes(dir.path() / "notes", kFew, 2.0);
    const std::string out = dir.file("pad");
    ASSERT_EQ(build({"-q", "-o", out, dir.file("notes")}).status, 0);
    const auto before = snapshot(out);
    test::RunOptions limited;
    limited.maxFileSize = 64 << 10;
    const ProgramResult failed = build({"-q", "-o", out, dir.file("notes")}, limited);
    EXPECT_EQ(failed.status, 2) << failed.err;
    EXPECT_NE(failed.err.find("File too large"), std::string::npos) << failed.err;
    EXPECT_EQ(failed.err.find("left out"), std::string::npos) << failed.err;
    EXPECT_TRUE(snapshot(out) == before);
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// Files the folder holds besides the instrument's own stay, and a rerun
// replaces the instrument's own.
TEST(InstrumentFolder, KeepsWhatElseTheFolderHolds) {
    TempDir dir;
    writeNotes(dir.path() / "notes", kFew, 2.0);
    const std::string out = dir.file("pad");
    ASSERT_EQ(build({"-q", "-o", out, dir.file("notes")}).status, 0);
    std::ofstream(out + "/README.txt") << "my notes on the pad\n";
    std::ofstream(out + "/samples/extra.wav") << "a sample of my own";
    std::ofstream(out + "/pad.sfz") << "// an old SFZ\n";
    ASSERT_EQ(build({"-q", "-o", out, dir.file("notes")}).status, 0);
    EXPECT_EQ(test::readTextFile(out + "/README.txt"), "my notes on the pad\n");
    EXPECT_EQ(test::readTextFile(out + "/samples/extra.wav"), "a sample of my own");
    EXPECT_NE(test::readTextFile(out + "/pad.sfz"), "// an old SFZ\n");
    EXPECT_EQ(test::entriesOf(out + "/samples").size(), kFew.size() + 1);
}

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// A folder's name that holds a line feed and SFZ headers names the
// instrument, and writes not a line of its own; --name refuses such a name,
// and one too long for a file, before anything is made.
TEST(InstrumentFolder, NamesWriteNoLinesOfTheirOwn) {
    TempDir dir;
    writeNotes(dir.path() / "notes", kFew, 2.0);
    const std::string hostile = "pad\n<region> sample=evil.wav\n<control> default_path=..\\\\evil";
    const std::string out = dir.file(hostile);
    const ProgramResult made = build({"-q", "-o", out, dir.file("notes")});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string sfz = test::readTextFile(out + "/" + hostile + ".sfz");
    EXPECT_EQ(countOf(sfz, "<region>"), kFew.size() + 1) << sfz; // one in the comment
    EXPECT_EQ(countOf(sfz, "\n<region>"), kFew.size()) << sfz;
    EXPECT_EQ(countOf(sfz, "<control>"), 1u) << sfz;
    EXPECT_EQ(sfz.find("\nsample=evil"), std::string::npos) << sfz;
    const std::string json = test::readTextFile(out + "/" + hostile + ".json");
    EXPECT_NE(json.find("\"name\": \"pad\\n<region> sample=evil.wav\\n<control>"), std::string::npos) << json;

    for (const std::string& name : {std::string("a\nb"), std::string("tab\there"), std::string(251, 'n')}) {
        const ProgramResult refused = build({"-q", "--name", name, "-o", dir.file("refused"), dir.file("notes")});
        EXPECT_EQ(refused.status, 2) << name;
        EXPECT_EQ(refused.err.rfind("Error: --name takes a name", 0), 0u) << refused.err;
        EXPECT_FALSE(fs::exists(dir.file("refused")));
    }
}

// A folder given twice, or a note and its folder, is each note once: no
// velocity layer of the same recording.
TEST(InstrumentFolder, ANoteReachedTwiceIsLoopedOnce) {
    TempDir dir;
    writeNotes(dir.path() / "notes", kFew, 2.0);
    const ProgramResult made = build({"-o", dir.file("pad"), dir.file("notes"), dir.file("notes") + "/",
                                      dir.file("notes/pad_C3.wav"), dir.file("notes/../notes/pad_D3.wav")});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("3 of 3 notes"), std::string::npos) << made.out;
    EXPECT_NE(made.out.find("1 velocity layer"), std::string::npos) << made.out;
    EXPECT_EQ(test::entriesOf(dir.file("pad/samples")).size(), kFew.size());
}

} // namespace
} // namespace sorvane
