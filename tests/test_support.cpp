#include "test_support.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <csignal>
#include <iterator>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "audio_io/sndfile_handle.hpp"

namespace sorvane::test {

namespace {

constexpr uid_t kNobody = 65534; // and its group, nogroup

SndFileHandle openForWrite(const std::string& path, int format, int sampleRate, int channels) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format;
    SndFileHandle handle(sf_open(path.c_str(), SFM_WRITE, &info));
    EXPECT_TRUE(handle) << "cannot create fixture " << path << ": " << sf_strerror(nullptr);
    if (handle) {
        sf_command(handle.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }
    return handle;
}

SndFileHandle openForRead(const std::string& path, SF_INFO& info) {
    info = SF_INFO{};
    SndFileHandle handle(sf_open(path.c_str(), SFM_READ, &info));
    EXPECT_TRUE(handle) << "cannot read " << path << ": " << sf_strerror(nullptr);
    return handle;
}

} // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sorvane-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool runningUnderWrapper() {
    const char* wrapper = std::getenv("SORVANE_TEST_WRAPPER");
    return wrapper != nullptr && *wrapper != '\0';
}

ProgramResult runProgram(const std::string& executable, const std::vector<std::string>& args,
                         const RunOptions& options) {
    // Output goes to files rather than pipes, so a chatty child cannot block.
    TempDir capture;
    const std::string outPath = capture.file("stdout");
    const std::string errPath = capture.file("stderr");

    std::vector<std::string> storage;
    std::string program = executable;
    const bool wrapped = runningUnderWrapper() && !options.maxAddressSpace;
    if (wrapped) {
        std::istringstream words(std::getenv("SORVANE_TEST_WRAPPER"));
        for (std::string word; words >> word;) {
            storage.push_back(word);
        }
        program = storage.front();
        storage.push_back(executable);
    } else {
        storage.push_back(options.argv0.value_or(executable));
    }
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    int pipeEnds[2] = {-1, -1};
    if (options.stdinIsPipe && pipe2(pipeEnds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot make a pipe";
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (options.stdinIsPipe) {
            dup2(pipeEnds[0], STDIN_FILENO);
        }
        const int outFd = open(options.stdoutPath.value_or(outPath).c_str(),
                               O_WRONLY | O_CREAT | (options.stdoutAppends ? O_APPEND : O_TRUNC), 0600);
        const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int nullFd = open(options.stdinPath.value_or("/dev/null").c_str(), O_RDONLY);
        if (outFd < 0 || errFd < 0 || nullFd < 0) {
            _exit(127);
        }
        if (!options.stdinIsPipe) {
            dup2(nullFd, STDIN_FILENO);
        }
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        if (options.maxFileSize) {
            signal(SIGXFSZ, options.fileSizeSignalIgnored ? SIG_IGN : SIG_DFL);
            const rlimit limit{*options.maxFileSize, *options.maxFileSize};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.maxAddressSpace) {
            const rlimit limit{*options.maxAddressSpace, *options.maxAddressSpace};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (options.asNobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(127);
        }
        if (wrapped) {
            execvp(program.c_str(), argv.data());
        } else {
            execv(program.c_str(), argv.data());
        }
        _exit(127);
    }
    if (options.stdinIsPipe) {
        // The program may stop reading early: a write to a closed pipe must fail, not kill.
        close(pipeEnds[0]);
        const Bytes bytes = readBytes(*options.stdinPath);
        const auto previous = signal(SIGPIPE, SIG_IGN);
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t put = write(pipeEnds[1], bytes.data() + done, bytes.size() - done);
            if (put <= 0) {
                break;
            }
            done += static_cast<std::size_t>(put);
        }
        signal(SIGPIPE, previous);
        close(pipeEnds[1]);
    }
    ProgramResult result;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        ADD_FAILURE() << "cannot run " << executable;
        return result;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readTextFile(outPath);
    result.err = readTextFile(errPath);
    return result;
}

std::string sorvaneExecutable() { return SORVANE_EXECUTABLE; }
std::string seamExecutable() { return SORVANE_SEAM_EXECUTABLE; }
std::string sustainExecutable() { return SORVANE_SUSTAIN_EXECUTABLE; }
std::string instrumentExecutable() { return SORVANE_INSTRUMENT_EXECUTABLE; }
std::string exampleMaker() { return SORVANE_MAKE_EXAMPLE; }

ProgramResult runSorvaneExecutable(const std::vector<std::string>& args, const RunOptions& options) {
    return runProgram(sorvaneExecutable(), args, options);
}

Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void writeAudio(const std::string& path, int format, int sampleRate, int channels,
                const std::vector<double>& interleaved) {
    SndFileHandle handle = openForWrite(path, format, sampleRate, channels);
    ASSERT_TRUE(handle);
    const auto frames = static_cast<sf_count_t>(interleaved.size() / static_cast<std::size_t>(channels));
    ASSERT_EQ(sf_writef_double(handle.get(), interleaved.data(), frames), frames)
        << sf_strerror(handle.get());
}

void writeAudioInts(const std::string& path, int format, int sampleRate, int channels,
                    const std::vector<std::int32_t>& interleaved) {
    SndFileHandle handle = openForWrite(path, format, sampleRate, channels);
    ASSERT_TRUE(handle);
    const auto frames = static_cast<sf_count_t>(interleaved.size() / static_cast<std::size_t>(channels));
    ASSERT_EQ(sf_writef_int(handle.get(), interleaved.data(), frames), frames)
        << sf_strerror(handle.get());
}

AudioFile readAudio(const std::string& path) {
    AudioFile file;
    SndFileHandle handle = openForRead(path, file.info);
    if (!handle) {
        return file;
    }
    file.samples.resize(static_cast<std::size_t>(file.info.frames) *
                        static_cast<std::size_t>(file.info.channels));
    EXPECT_EQ(sf_readf_double(handle.get(), file.samples.data(), file.info.frames), file.info.frames);
    return file;
}

std::vector<std::int32_t> readAudioInts(const std::string& path, SF_INFO* infoOut) {
    SF_INFO info{};
    SndFileHandle handle = openForRead(path, info);
    if (infoOut != nullptr) {
        *infoOut = info;
    }
    if (!handle) {
        return {};
    }
    std::vector<std::int32_t> samples(static_cast<std::size_t>(info.frames) *
                                      static_cast<std::size_t>(info.channels));
    EXPECT_EQ(sf_readf_int(handle.get(), samples.data(), info.frames), info.frames);
    return samples;
}

std::vector<double> distinctStereo(std::size_t frames) {
    std::vector<double> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[2 * i] = static_cast<double>(i % 200) / 256.0 - 0.375;
        samples[2 * i + 1] = -0.5 * std::sin(static_cast<double>(i) * 0.05);
    }
    return samples;
}

std::vector<double> framesOf(const std::vector<double>& interleaved, int channels,
                             std::size_t first, std::size_t last) {
    const auto c = static_cast<std::size_t>(channels);
    std::vector<double> out;
    for (std::size_t f = first;; f = first <= last ? f + 1 : f - 1) {
        out.insert(out.end(), interleaved.begin() + static_cast<std::ptrdiff_t>(f * c),
                   interleaved.begin() + static_cast<std::ptrdiff_t>(f * c + c));
        if (f == last) {
            break;
        }
    }
    return out;
}

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<double> sustainedNote(const NoteShape& shape) {
    const auto frames = static_cast<std::size_t>(shape.seconds * shape.sampleRate);
    const double rate = shape.sampleRate;
    const double releaseAt = shape.seconds - 0.3;
    Lcg noise(7);
    std::vector<double> mono(frames);
    double phase = 0.0;
    for (std::size_t k = 0; k < frames; ++k) {
        const double t = static_cast<double>(k) / rate;
        phase += 2.0 * M_PI * shape.frequency * (1.0 + shape.vibratoDepth * std::sin(2.0 * M_PI * 5.5 * t)) / rate;
        double tone = 0.0;
        for (int h = 1; h <= 8 && shape.frequency > 0.0 && h * shape.frequency < rate / 2.0; ++h) {
            tone += std::sin(h * phase + 0.4 * h) / h;
        }
        const double envelope = std::min(1.0, t / 0.05) * (t > releaseAt ? std::exp(-(t - releaseAt) / 0.05) : 1.0) *
                                std::pow(10.0, -shape.decayDbPerSecond * t / 20.0);
        mono[k] = envelope * (0.3 * tone + shape.noise * 2.0 * noise.uniform());
    }
    std::vector<double> interleaved;
    for (std::size_t k = 0; k < frames; ++k) {
        interleaved.push_back(mono[k]);
        if (shape.channels > 1) {
            interleaved.push_back(k >= 7 ? 0.8 * mono[k - 7] : 0.0);
        }
    }
    return interleaved;
}


namespace {

bool isForm(const Bytes& b) { return b.size() >= 4 && std::memcmp(b.data(), "FORM", 4) == 0; }

std::uint64_t sizeAt(const Bytes& b, std::size_t at, bool big) {
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        v |= std::uint64_t{b[at + (big ? 3 - k : k)]} << (8 * k);
    }
    return v;
}

} // namespace

std::uint32_t little32(const Bytes& b, std::size_t at) { return static_cast<std::uint32_t>(sizeAt(b, at, false)); }

// The chunks of a RIFF, RF64, Wave64 or FORM file, as their formats lay
// them out (a Wave64 chunk by the four characters its GUID starts with).
std::vector<RawChunk> chunksOf(const std::string& path) {
    const Bytes b = readBytes(path);
    if (b.size() >= 40 && std::memcmp(b.data(), "riff\x2E\x91\xCF\x11", 8) == 0) {
        std::vector<RawChunk> chunks;
        for (std::size_t at = 40; at + 24 <= b.size();) {
            const std::uint64_t size = sizeAt(b, at + 16, false) | sizeAt(b, at + 20, false) << 32;
            const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(b.size(), at + size));
            chunks.push_back({std::string(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + 4)),
                              Bytes(b.begin() + static_cast<std::ptrdiff_t>(at + 24), b.begin() + static_cast<std::ptrdiff_t>(end))});
            at += static_cast<std::size_t>((size + 7) / 8 * 8);
        }
        return chunks;
    }
    const bool big = isForm(b);
    const bool rf64 = b.size() >= 4 && std::memcmp(b.data(), "RF64", 4) == 0;
    std::vector<RawChunk> chunks;
    for (std::size_t at = 12; at + 8 <= b.size();) {
        std::uint64_t size = sizeAt(b, at + 4, big);
        if (rf64 && std::memcmp(&b[at], "data", 4) == 0) {
            size = sizeAt(b, 28, false) | sizeAt(b, 32, false) << 32;
        }
        const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(b.size(), at + 8 + size));
        chunks.push_back({std::string(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + 4)),
                          Bytes(b.begin() + static_cast<std::ptrdiff_t>(at + 8), b.begin() + static_cast<std::ptrdiff_t>(end))});
        at += 8 + static_cast<std::size_t>(size) + (size & 1U);
    }
    return chunks;
}

// Appends `chunks` to a RIFF or FORM file; the last may claim more bytes
// than it brings (`claimed`), as a file cut short does.
void appendChunks(const std::string& path, const std::vector<RawChunk>& chunks, std::uint32_t claimed) {
    Bytes b = readBytes(path);
    const bool big = isForm(b);
    auto put = [&](std::uint32_t v) {
        for (std::size_t k = 0; k < 4; ++k) {
            b.push_back(static_cast<unsigned char>(v >> (8 * (big ? 3 - k : k))));
        }
    };
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (b.size() % 2 != 0) {
            b.push_back(0);
        }
        b.insert(b.end(), chunks[i].id.begin(), chunks[i].id.end());
        put(i + 1 == chunks.size() && claimed != 0 ? claimed : static_cast<std::uint32_t>(chunks[i].data.size()));
        b.insert(b.end(), chunks[i].data.begin(), chunks[i].data.end());
    }
    if (claimed == 0 && b.size() % 2 != 0) {
        b.push_back(0);
    }
    const auto whole = static_cast<std::uint32_t>(b.size() - 8);
    for (std::size_t k = 0; k < 4; ++k) {
        b[4 + k] = static_cast<unsigned char>(whole >> (8 * (big ? 3 - k : k)));
    }
    writeBytes(path, b);
}

std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    char buffer[4096];
    for (std::size_t got = 0; pipe && (got = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
        out.append(buffer, got);
    }
    return out;
}

} // namespace sorvane::test
