// libFuzzer target: what a file carries besides its audio, built from the
// fuzzer's bytes around a small valid file: RIFF or AIFF chunks (how many,
// their ids and sizes, the last one cut short, INFO text in any encoding),
// FLAC metadata blocks of every type (raw comments, pictures, applications,
// cue sheets) behind an ID3v2 tag, or an Ogg comment packet. The file is
// read as a path or through a pipe's path, and written with its metadata
// and a loop to its own format and to FLAC, as the programs do.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <taglib/oggfile.h>
#include <taglib/tfilestream.h>

#include "audio_io/audio_io.hpp"
#include "audio_io/sndfile_handle.hpp"
#include "escape/escape.hpp"
#include "metadata/file_metadata.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

// A small file from a pipe is read in milliseconds.
constexpr int kLongestPipeRead = 5;

// The fuzzer's bytes, taken in order; zeros once they run out.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t upTo(std::uint32_t most) { return most == 0 ? 0 : (byte() | std::uint32_t{byte()} << 8) % (most + 1); }
    Bytes take(std::size_t count) {
        Bytes bytes;
        for (std::size_t k = 0; k < count; ++k) {
            bytes.push_back(byte());
        }
        return bytes;
    }
    bool empty() const { return at_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

const std::string& workDirectory() {
    static const std::string dir = [] {
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/sorvane-fuzz-metadata-XXXXXX"
                                                            : "/tmp/sorvane-fuzz-metadata-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        return pattern;
    }();
    return dir;
}

Bytes readFile(const std::string& path) {
    Bytes bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    for (int c = 0; file != nullptr && (c = std::fgetc(file)) != EOF;) {
        bytes.push_back(static_cast<unsigned char>(c));
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    return bytes;
}

void writeFile(const std::string& path, const Bytes& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())) {
        std::abort();
    }
    std::fclose(file);
}

// A small valid file of `format`, made once.
const Bytes& baseFile(int format) {
    static std::vector<std::pair<int, Bytes>> made;
    for (const auto& [f, bytes] : made) {
        if (f == format) {
            return bytes;
        }
    }
    const std::string path = workDirectory() + "/base";
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = format;
    {
        sorvane::SndFileHandle file(sf_open(path.c_str(), SFM_WRITE, &info));
        if (!file) {
            std::abort();
        }
        std::vector<double> samples(2 * 1200);
        for (std::size_t k = 0; k < samples.size(); ++k) {
            samples[k] = 0.5 * std::sin(0.03 * static_cast<double>(k));
        }
        sf_writef_double(file.get(), samples.data(), 1200);
    }
    made.emplace_back(format, readFile(path));
    return made.back().second;
}

void put32(Bytes& b, std::uint32_t v, bool big) {
    for (int k = 0; k < 4; ++k) {
        b.push_back(static_cast<unsigned char>(v >> (8 * (big ? 3 - k : k))));
    }
}

// Chunks after the audio: ids of letters or any bytes, sizes mostly what
// they bring, the last one perhaps claiming more.
Bytes withChunks(Bytes file, bool big, Input& in) {
    const std::uint32_t count = in.upTo(48);
    for (std::uint32_t i = 0; i < count && !in.empty(); ++i) {
        if (file.size() % 2 != 0) {
            file.push_back(0);
        }
        static const char* const kIds[] = {"LIST", "smpl", "inst", "cue ", "bext", "iXML", "MARK", "INST", "NAME", "ANNO"};
        const std::uint8_t pick = in.byte();
        Bytes id = pick < 160 ? Bytes(kIds[pick % 10], kIds[pick % 10] + 4) : in.take(4);
        file.insert(file.end(), id.begin(), id.end());
        Bytes payload;
        if (pick % 10 == 0 && !big) {
            // INFO text in any encoding, as taggers write it, or cue labels.
            payload = {'I', 'N', 'F', 'O'};
            if ((pick / 10) % 2 == 0) {
                std::memcpy(payload.data(), "adtl", 4);
            }
            for (std::uint32_t t = in.upTo(4); t > 0; --t) {
                static const char* const kTags[] = {"INAM", "ICOP", "IART", "ICMT", "ISFT", "labl"};
                const char* tag = kTags[in.byte() % 6];
                Bytes text = in.take(in.upTo(24));
                text.push_back(0);
                payload.insert(payload.end(), tag, tag + 4);
                put32(payload, static_cast<std::uint32_t>(text.size()), false);
                payload.insert(payload.end(), text.begin(), text.end());
                if (text.size() % 2 != 0) {
                    payload.push_back(0);
                }
            }
        } else {
            payload = in.take(in.upTo(96));
        }
        const bool last = i + 1 == count;
        put32(file, last && (pick & 2) != 0 ? static_cast<std::uint32_t>(payload.size()) + in.upTo(5000)
                                            : static_cast<std::uint32_t>(payload.size()),
              big);
        file.insert(file.end(), payload.begin(), payload.end());
    }
    Bytes size;
    put32(size, static_cast<std::uint32_t>(file.size() - 8), big);
    std::copy(size.begin(), size.end(), file.begin() + 4);
    return file;
}

// A vorbis comment structure of raw entries: empty, any bytes, loop points.
Bytes comments(Input& in) {
    Bytes b;
    put32(b, 3, false);
    b.insert(b.end(), {'f', 'u', 'z'});
    const std::uint32_t count = in.upTo(12);
    put32(b, count, false);
    for (std::uint32_t i = 0; i < count; ++i) {
        static const char* const kNames[] = {"LOOPSTART=", "LOOPLENGTH=", "LOOPEND=", "TITLE=", "MOOD=", ""};
        std::string entry = kNames[in.byte() % 6];
        const Bytes value = in.take(in.upTo(24));
        entry.append(value.begin(), value.end());
        put32(b, static_cast<std::uint32_t>(entry.size()), false);
        b.insert(b.end(), entry.begin(), entry.end());
    }
    return b;
}

// The FLAC file with its blocks after STREAMINFO made from the input, and
// perhaps an ID3v2 tag before it.
Bytes flacFile(Input& in) {
    const Bytes& base = baseFile(SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::size_t at = 4;
    Bytes streamInfo;
    for (bool last = false; !last && at + 4 <= base.size();) {
        last = (base[at] & 0x80) != 0;
        const std::size_t size = std::size_t{base[at + 1]} << 16 | std::size_t{base[at + 2]} << 8 | base[at + 3];
        if ((base[at] & 0x7F) == 0) {
            streamInfo.assign(base.begin() + static_cast<std::ptrdiff_t>(at),
                              base.begin() + static_cast<std::ptrdiff_t>(at + 4 + size));
        }
        at += 4 + size;
    }
    Bytes file;
    if ((in.byte() & 1) != 0) {
        const Bytes tag = in.take(in.upTo(40));
        file = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, static_cast<unsigned char>(tag.size())};
        file.insert(file.end(), tag.begin(), tag.end());
    }
    file.insert(file.end(), {'f', 'L', 'a', 'C'});
    // Where each block's header is, so that only the last says it is.
    std::vector<std::size_t> headers = {file.size()};
    file.insert(file.end(), streamInfo.begin(), streamInfo.end());
    const std::uint32_t count = in.upTo(10);
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned type = in.byte() % 8;
        const Bytes payload = type == 4 ? comments(in) : in.take(in.upTo(200));
        headers.push_back(file.size());
        file.push_back(static_cast<unsigned char>(type));
        for (int k = 2; k >= 0; --k) {
            file.push_back(static_cast<unsigned char>(payload.size() >> (8 * k)));
        }
        file.insert(file.end(), payload.begin(), payload.end());
    }
    for (const std::size_t header : headers) {
        file[header] &= 0x7F;
    }
    file[headers.back()] |= 0x80;
    file.insert(file.end(), base.begin() + static_cast<std::ptrdiff_t>(at), base.end());
    return file;
}

// An Ogg Vorbis file whose comment packet is made from the input.
Bytes oggFile(Input& in, const std::string& path) {
    writeFile(path, baseFile(SF_FORMAT_OGG | SF_FORMAT_VORBIS));
    {
        TagLib::FileStream stream(path.c_str());
        struct Packets : TagLib::Ogg::File {
            explicit Packets(TagLib::IOStream* s) : TagLib::Ogg::File(s) {}
            TagLib::Tag* tag() const override { return nullptr; }
            TagLib::AudioProperties* audioProperties() const override { return nullptr; }
        } ogg(&stream);
        Bytes packet = {3, 'v', 'o', 'r', 'b', 'i', 's'};
        const Bytes body = comments(in);
        packet.insert(packet.end(), body.begin(), body.end());
        packet.push_back(1);
        ogg.setPacket(1, TagLib::ByteVector(reinterpret_cast<const char*>(packet.data()),
                                            static_cast<unsigned>(packet.size())));
        ogg.save();
    }
    return readFile(path);
}

// Reads `bytes` through a pipe's path, as `<(...)` gives one: a writer
// thread feeds the pipe, and stops should the reader stop first. A read
// that waits on the pipe once its writer is done (a second open of the
// path, which would wait for ever) is a finding: libFuzzer's own timer
// interrupts such a wait, so a watchdog of our own tells.
std::optional<sorvane::AudioInput> readThroughPipe(const Bytes& bytes, std::ostream& err) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        std::abort();
    }
    std::thread writer([&] {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t put = write(ends[1], bytes.data() + done, bytes.size() - done);
            if (put <= 0) {
                break;
            }
            done += static_cast<std::size_t>(put);
        }
        close(ends[1]);
    });
    std::mutex mutex;
    std::condition_variable finished;
    bool read = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!finished.wait_for(lock, std::chrono::seconds(kLongestPipeRead), [&] { return read; })) {
            std::fprintf(stderr, "a pipe's path was read for more than %d s: something waits on the pipe\n",
                         kLongestPipeRead);
            std::abort();
        }
    });
    std::optional<sorvane::AudioInput> input = sorvane::readInputAudio("/dev/fd/" + std::to_string(ends[0]), err);
    {
        const std::lock_guard<std::mutex> lock(mutex);
        read = true;
    }
    finished.notify_one();
    watchdog.join();
    close(ends[0]);
    writer.join();
    return input;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::string input = workDirectory() + "/input";
    const std::uint8_t kind = in.byte();
    const bool piped = (kind & 0x80) != 0;
    Bytes file;
    std::string extension;
    switch (kind % 4) {
    case 0:
        file = withChunks(baseFile(SF_FORMAT_WAV | SF_FORMAT_PCM_16), false, in);
        extension = ".wav";
        break;
    case 1:
        file = withChunks(baseFile(SF_FORMAT_AIFF | SF_FORMAT_PCM_16), true, in);
        extension = ".aiff";
        break;
    case 2:
        file = flacFile(in);
        extension = ".flac";
        break;
    default:
        file = oggFile(in, input);
        extension = ".ogg";
        break;
    }
    std::ostringstream err;
    std::optional<sorvane::AudioInput> audio;
    if (piped) {
        audio = readThroughPipe(file, err);
    } else {
        writeFile(input, file);
        audio = sorvane::readInputAudio(input, err);
    }
    if (!audio) {
        return 0;
    }
    // libsndfile's FLAC writer reads an uninitialised comment for a tag
    // libFLAC refuses as no UTF-8 (a crash or a double free, as the stack
    // has it): no such tag may reach a writer.
    for (const auto& [type, value] : audio->metadata.strings) {
        if (!sorvane::isValidUtf8(value)) {
            std::fprintf(stderr, "tag %d is no UTF-8 and would reach libsndfile's writers\n", type);
            std::abort();
        }
    }
    if (audio->left.size() < 4) {
        return 0;
    }
    // A loop within the frames, from the input's last bytes.
    const auto frames = static_cast<std::uint32_t>(audio->left.size());
    sorvane::LoopPoints points;
    points.start = in.upTo(frames - 2);
    points.end = points.start + 1 + in.upTo(frames - 1 - static_cast<std::uint32_t>(points.start));
    points.midiNote = in.upTo(127);
    const std::unique_ptr<sorvane::LoopSource> loop =
        sorvane::buffersAsLoop(audio->left, audio->right, audio->info.channels);
    for (const std::string& to : {extension, std::string(".flac"), std::string(".wav")}) {
        const std::string output = workDirectory() + "/output" + to;
        sorvane::OutputPlan plan = sorvane::planOutput(output, *audio);
        for (const sorvane::AudioKept kept : {sorvane::AudioKept::Same, sorvane::AudioKept::New}) {
            const bool withLoop = kept == sorvane::AudioKept::Same;
            plan.extras = sorvane::metadataWriter(audio->metadata, plan.info, kept,
                                                  withLoop ? std::optional(points) : std::nullopt);
            if (sorvane::writeOutputAudio(output, plan, *loop, err) && withLoop) {
                const std::optional<sorvane::OpenInput> back = sorvane::openInputAudio(output, err);
                const std::optional<sorvane::LoopPoints> read =
                    back ? sorvane::readLoopPoints(back->fd->get(), back->info) : std::nullopt;
                if (!read || read->start != points.start || read->end != points.end) {
                    std::abort(); // a loop written, checked and then not there
                }
            }
        }
        unlink(output.c_str());
    }
    unlink(input.c_str());
    return 0;
}
