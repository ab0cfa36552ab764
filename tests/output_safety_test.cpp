// Writing through the real executable when the disk, a limit or a signal gets
// in the way: every failure is reported, and no recording is lost or left
// half written.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ProgramResult;
using test::TempDir;

// Two seconds of different noise in each channel, which no encoder can
// squeeze below the limits used here, as the bytes of a file of `format`.
const Bytes& noiseFile(int format) {
    static std::map<int, Bytes> files;
    auto found = files.find(format);
    if (found == files.end()) {
        std::vector<double> samples(2 * 96000);
        std::uint32_t state = 1;
        for (double& s : samples) {
            state = state * 1664525u + 1013904223u;
            s = static_cast<double>(state >> 8) / 16777216.0 - 0.5;
        }
        TempDir dir;
        test::writeAudio(dir.file("noise"), format, 48000, 2, samples);
        found = files.emplace(format, test::readBytes(dir.file("noise"))).first;
    }
    return found->second;
}

// A tmpfs of `bytes` mounted on a fresh directory, for as long as the object
// lives; only root may mount one.
class SmallDisk {
public:
    explicit SmallDisk(std::uint64_t bytes) {
        const std::string options = "size=" + std::to_string(bytes);
        mounted_ = mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) {
            umount2(dir_.path().c_str(), MNT_DETACH);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return mounted_; }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    bool mounted_ = false;
};

enum class Sink { DevFull, SizeLimit, SizeLimitSignalled, FullDisk };

struct FailureCase {
    const char* format;
    int code;
    Sink sink;
    bool inPlace;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.format; }

class WriteFailureTest : public ::testing::TestWithParam<FailureCase> {};

// Larger than any header, smaller than any loop of the noise.
constexpr std::uint64_t kLimitBytes = 16384;

TEST_P(WriteFailureTest, IsReportedAndLosesNothing) {
    const FailureCase& c = GetParam();
    const Bytes& original = noiseFile(c.code);
    TempDir elsewhere;
    // A disk with room for the input and no more, or for nothing at all.
    SmallDisk disk(c.inPlace ? (original.size() + 4095) / 4096 * 4096 + kLimitBytes : kLimitBytes);
    const bool onDisk = c.sink == Sink::FullDisk;
    if (onDisk && !disk.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    const TempDir& home = onDisk ? disk.dir() : elsewhere;
    const std::string input = (c.inPlace ? home : elsewhere).file("take");
    test::writeBytes(input, original);
    const std::string output = c.sink == Sink::DevFull ? "/dev/full" : c.inPlace ? input : home.file("loop");
    const std::vector<std::string> before = test::entriesOf(home.path());

    test::RunOptions options;
    if (c.sink == Sink::SizeLimit || c.sink == Sink::SizeLimitSignalled) {
        options.maxFileSize = kLimitBytes;
        options.fileSizeSignalIgnored = c.sink == Sink::SizeLimit;
    }
    const ProgramResult r = test::runSorvaneExecutable({input, output, "PINGPONG"}, options);
    const bool limited = static_cast<bool>(options.maxFileSize);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("Error writing output file: System error : ") +
                         (limited ? "File too large" : "No space left on device") + ".\n");
    EXPECT_TRUE(test::readBytes(input) == original) << "the input changed";
    EXPECT_EQ(test::entriesOf(home.path()), before);
}

std::vector<FailureCase> failureCases() {
    const struct {
        const char* name;
        int code;
    } formats[] = {
        {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},        {"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        {"au", SF_FORMAT_AU | SF_FORMAT_PCM_16},          {"caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16},
        {"w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16},        {"rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16},
        {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},      {"vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},         {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
    };
    std::vector<FailureCase> cases;
    for (const auto& f : formats) {
        cases.push_back({f.name, f.code, Sink::DevFull, false});
        for (const Sink sink : {Sink::SizeLimit, Sink::SizeLimitSignalled, Sink::FullDisk}) {
            cases.push_back({f.name, f.code, sink, false});
            cases.push_back({f.name, f.code, sink, true});
        }
    }
    return cases;
}

std::string caseName(const ::testing::TestParamInfo<FailureCase>& param) {
    const char* sinks[] = {"DevFull", "SizeLimit", "SizeLimitSignalled", "FullDisk"};
    return std::string(param.param.format) + sinks[static_cast<int>(param.param.sink)] +
           (param.param.inPlace ? "InPlace" : "NewOutput");
}

INSTANTIATE_TEST_SUITE_P(Formats, WriteFailureTest, ::testing::ValuesIn(failureCases()), caseName);

class InterruptTest : public ::testing::TestWithParam<int> {};

// The signal arrives while the temporary file is being written: it must go,
// the input must stay, and the run must end by that signal.
TEST_P(InterruptTest, RemovesTheTemporaryFileAndEndsByTheSignal) {
    if (test::runningUnderWrapper()) {
        GTEST_SKIP() << "the signal would reach the wrapper";
    }
    TempDir dir;
    const std::string path = dir.file("take.wav");
    // A minute of audio: writing its loop takes long enough to be caught.
    test::writeAudio(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, test::distinctStereo(44100 * 60));
    const Bytes before = test::readBytes(path);

    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_CREATE), 0);
    const std::string executable = test::sorvaneExecutable();
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit noCore{0, 0}; // SIGQUIT would dump one
        setrlimit(RLIMIT_CORE, &noCore);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(executable.c_str(), executable.c_str(), path.c_str(), path.c_str(), "PINGPONG", nullptr);
        _exit(127);
    }
    alignas(inotify_event) char event[sizeof(inotify_event) + 256];
    ASSERT_GT(read(watch, event, sizeof event), 0);
    kill(pid, GetParam());
    close(watch);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam()) << "status " << status;
    EXPECT_EQ(test::entriesOf(dir.path()), std::vector<std::string>{"take.wav"});
    EXPECT_TRUE(test::readBytes(path) == before) << "the input changed";
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM),
                         [](const ::testing::TestParamInfo<int>& param) { return std::to_string(param.param); });

enum class Place { LockedFolder, LockedFolderSizeLimit, LockedFolderFullDisk, AppendedStandardOutput };

class OutputPlaceTest : public ::testing::TestWithParam<Place> {};

// An existing output where no new file can be made beside it, and a standard
// output that appends: the old bytes are given up only for a complete loop
// that is known to fit, else kept, and the run says why.
TEST_P(OutputPlaceTest, GivesUpTheOldBytesOnlyForACompleteLoopThatFits) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "running as another user, and mounting, need root";
    }
    const Place place = GetParam();
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    const std::string input = dir.file("in.wav");
    test::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, test::distinctStereo(60000));
    chmod(input.c_str(), 0644);
    ASSERT_EQ(test::runSorvaneExecutable({input, dir.file("expected.wav"), "PINGPONG"}).status, 0);
    const Bytes old = noiseFile(SF_FORMAT_WAV | SF_FORMAT_PCM_U8); // smaller than the loop

    // The locked folder: on a disk with room for the old file alone, where it must be full.
    SmallDisk disk((old.size() + 8191) / 4096 * 4096);
    if (place == Place::LockedFolderFullDisk && !disk.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs failed";
    }
    const std::string folder = place == Place::LockedFolderFullDisk ? disk.dir().path().string() : dir.file("locked");
    fs::create_directories(folder);
    const std::string output = folder + "/out.wav";
    test::writeBytes(output, old);
    ASSERT_EQ(chown(output.c_str(), 65534, 65534), 0);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);

    test::RunOptions options;
    options.asNobody = true;
    std::string target = output;
    if (place == Place::LockedFolderSizeLimit) {
        options.maxFileSize = old.size() + 1000;
    } else if (place == Place::AppendedStandardOutput) {
        options.stdoutPath = output;
        options.stdoutAppends = true;
        target = "-";
    }
    // A copy nobody can reach: the build tree may lie in root's own home.
    const std::string program = dir.file("sorvane");
    fs::copy_file(test::sorvaneExecutable(), program);
    fs::permissions(program, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    const ProgramResult r = test::runProgram(program, {input, target, "PINGPONG"}, options);
    const std::map<Place, std::string> errors = {
        {Place::LockedFolderSizeLimit, "Error writing output file: System error : File too large.\n"},
        {Place::LockedFolderFullDisk, "Error writing output file: System error : No space left on device.\n"},
        {Place::AppendedStandardOutput, "Error opening output file: standard output is open for appending (>>), "
                                        "where a loop cannot be written; use > or name the output file\n"}};
    if (place == Place::LockedFolder) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(test::readBytes(output) == test::readBytes(dir.file("expected.wav")));
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, errors.at(place));
        EXPECT_TRUE(test::readBytes(output) == old) << "the old output changed";
    }
    EXPECT_EQ(test::entriesOf(folder), std::vector<std::string>{"out.wav"});
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
}

INSTANTIATE_TEST_SUITE_P(Places, OutputPlaceTest,
                         ::testing::Values(Place::LockedFolder, Place::LockedFolderSizeLimit,
                                           Place::LockedFolderFullDisk, Place::AppendedStandardOutput));

TEST(InPlace, KeepsTheOwnerGroupAndMode) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a file away needs root";
    }
    TempDir dir;
    const std::string path = dir.file("take.wav");
    test::writeAudio(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, test::distinctStereo(300));
    ASSERT_EQ(chown(path.c_str(), 4321, 8765), 0);
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    const ProgramResult r = test::runSorvaneExecutable({path, path, "PINGPONG"});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(test::readAudio(path).info.frames, 600);
}

TEST(StandardOutput, AReportOrVerdictThatCannotBeWrittenFailsTheRun) {
    TempDir dir;
    const std::string input = dir.file("in.wav");
    test::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, test::distinctStereo(100));
    test::RunOptions full;
    full.stdoutPath = "/dev/full";
    // sorvane-seam keeps 1 for a flagged loop; trouble is 2.
    for (const auto& [r, status] :
         {std::pair{test::runSorvaneExecutable({input, dir.file("out.wav"), "PINGPONG"}, full), 1},
          std::pair{test::runProgram(test::seamExecutable(), {input}, full), 2}}) {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err, "Error writing standard output: No space left on device\n");
    }
}

TEST(StandardOutput, ALoopWrittenThereIsTheWholeFileAndTheReportGoesToStandardError) {
    TempDir dir;
    const std::string input = dir.file("in.wav");
    test::writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, test::distinctStereo(100));
    const std::string output = dir.file("out.wav");
    test::runSorvaneExecutable({input, output, "PINGPONG"});
    test::RunOptions toFile;
    toFile.stdoutPath = dir.file("stdout.wav");
    const ProgramResult r = test::runSorvaneExecutable({input, "-", "PINGPONG"}, toFile);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Successfully processed audio.\nInput:  " + input + "\nOutput: -\nBuffer: 200 sample frames\n");
    EXPECT_TRUE(test::readBytes(dir.file("stdout.wav")) == test::readBytes(output));
}

TEST(EmptyLoop, OggOpusFailsInsteadOfWritingAFileNothingCanOpen) {
    TempDir dir;
    const std::string input = dir.file("in.opus");
    test::writeAudio(input, SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 2, test::distinctStereo(4800));
    const ProgramResult r = test::runSorvaneExecutable({input, dir.file("out.opus"), "CROSSFADE", "100"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: an empty loop cannot be written as Ogg Opus; nothing could read the file.\n");
    EXPECT_EQ(test::entriesOf(dir.path()), std::vector<std::string>{"in.opus"});
}

} // namespace
} // namespace sorvane
