#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sndfile.h>

namespace sorvane::test {

// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

struct ProgramResult {
    int status = -1; // exit status, or -1 when the program died on a signal
    std::string out;
    std::string err;
};

struct RunOptions {
    std::optional<std::string> argv0;         // else the executable's path
    std::optional<std::uint64_t> maxFileSize; // RLIMIT_FSIZE in bytes
    bool fileSizeSignalIgnored = true;        // with maxFileSize: SIGXFSZ ignored or left to kill
    std::optional<std::string> stdoutPath;    // standard output goes there instead of `out`
    bool stdoutAppends = false;               // with stdoutPath: opened for appending, as >> does
    bool asNobody = false;                    // run as the unprivileged user (the caller must be root)
    std::optional<std::string> stdinPath;     // else /dev/null
    bool stdinIsPipe = false;                 // with stdinPath: the file arrives through a pipe
    std::optional<std::uint64_t> maxAddressSpace; // RLIMIT_AS in bytes; the program then runs unwrapped
};

// Runs `executable` with `args`. When SORVANE_TEST_WRAPPER is set in the
// environment (say, to "valgrind --error-exitcode=99 -q"), the program runs
// under that command.
ProgramResult runProgram(const std::string& executable, const std::vector<std::string>& args,
                         const RunOptions& options = {});

// True when programs run under SORVANE_TEST_WRAPPER, which hides argv[0].
bool runningUnderWrapper();

// The paths of the executables under test.
std::string sorvaneExecutable();
std::string seamExecutable();
std::string sustainExecutable();
std::string instrumentExecutable();
std::string exampleMaker(); // the demo's sound generator

// Runs the sorvane executable under test.
ProgramResult runSorvaneExecutable(const std::vector<std::string>& args, const RunOptions& options = {});

// The fixtures' one source of noise: a 64-bit linear congruential generator,
// the same sequence on every machine.
class Lcg {
public:
    explicit Lcg(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return state_;
    }
    // Uniform in [-0.5, 0.5), from the top 53 bits.
    double uniform() { return static_cast<double>(next() >> 11) / 9007199254740992.0 - 0.5; }

private:
    std::uint64_t state_;
};

using Bytes = std::vector<unsigned char>;
Bytes readBytes(const std::string& path);

// The names in a directory, sorted: what a run left behind.
std::vector<std::string> entriesOf(const std::string& dir);
void writeBytes(const std::string& path, const Bytes& bytes);

// Writes interleaved samples to a new file; clipping is on so integer formats
// store full scale exactly. Fails the calling test on any error.
void writeAudio(const std::string& path, int format, int sampleRate, int channels,
                const std::vector<double>& interleaved);

// Writes raw 32-bit integer samples (libsndfile's left-aligned int scaling).
void writeAudioInts(const std::string& path, int format, int sampleRate, int channels,
                    const std::vector<std::int32_t>& interleaved);

struct AudioFile {
    SF_INFO info{};
    std::vector<double> samples; // interleaved
};

AudioFile readAudio(const std::string& path);
std::vector<std::int32_t> readAudioInts(const std::string& path, SF_INFO* info = nullptr);

// A different signal in each channel, so a swap or an offset shows: a ramp
// on the left and a sine of a different length, negated, on the right.
std::vector<double> distinctStereo(std::size_t frames);

// The stereo frames `first`..`last` (inclusive, in that direction) of `interleaved`.
std::vector<double> framesOf(const std::vector<double>& interleaved, int channels,
                             std::size_t first, std::size_t last);

std::string readTextFile(const std::string& path);

// A synthetic note, interleaved: the harmonics of `frequency` up to the
// eighth and below the Nyquist frequency (none for 0: noise alone) under a
// 50 ms attack, a sustain and a 300 ms release, with vibrato of
// `vibratoDepth` (relative, at 5.5 Hz) and white noise of amplitude `noise`.
// The right channel is the left one delayed by 7 frames and at 80 %.
struct NoteShape {
    int sampleRate = 44100;
    int channels = 1;
    double frequency = 440.0;
    double seconds = 3.0;
    double vibratoDepth = 0.0;
    double noise = 0.0;
    double decayDbPerSecond = 0.0; // through the sustain, as a struck or plucked note fades
};
std::vector<double> sustainedNote(const NoteShape& shape);

// A chunk of a RIFF, RF64, Wave64 or FORM file, as a reader of our own sees it.
struct RawChunk {
    std::string id;
    Bytes data;
    bool operator==(const RawChunk& o) const { return id == o.id && data == o.data; }
};

// The chunks of such a file, as their formats lay them out (a Wave64
// chunk by the four characters its GUID starts with).
std::vector<RawChunk> chunksOf(const std::string& path);

// Appends `chunks` to a RIFF or FORM file; the last may claim more bytes
// than it brings (`claimed`), as a file cut short does.
void appendChunks(const std::string& path, const std::vector<RawChunk>& chunks, std::uint32_t claimed = 0);

std::uint32_t little32(const Bytes& b, std::size_t at);

// What a shell command prints on standard output.
std::string run(const std::string& command);

} // namespace sorvane::test
