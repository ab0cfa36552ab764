// libFuzzer target: arbitrary bytes as an input file, through reading, every
// builder (with a percentage taken from the data) and writing, and the
// sustain search.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <algorithm>
#include <vector>
#include <sstream>
#include <string>
#include <variant>

#include <unistd.h>

#include "audio_io/audio_io.hpp"
#include "loops/loop_mode.hpp"
#include "sustain/sustain_loop.hpp"

namespace {

// Loops of more frames than this are built but not written: writing them
// would only measure the disk.
constexpr std::size_t kMaxWrittenSamples = 1U << 20;
constexpr std::size_t kMaxSearchedFrames = 1U << 18;

const std::string& workDirectory() {
    static const std::string dir = [] {
        // Memory-backed when the machine has it: every written loop is synced.
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/sorvane-fuzz-XXXXXX"
                                                            : "/tmp/sorvane-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        return pattern;
    }();
    return dir;
}

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, file) != size) {
        std::abort();
    }
    std::fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = workDirectory() + "/input";
    const std::string output = workDirectory() + "/output";
    writeFile(input, data, size);

    std::ostringstream err;
    const std::optional<sorvane::AudioInput> audio = sorvane::readInputAudio(input, err);
    if (!audio) {
        return 0;
    }
    // 0 to 100 in steps of 1/256, both ends included, from the file's last two bytes.
    float percent = sorvane::kDefaultCrossfadePercent;
    if (size >= 2) {
        const unsigned raw = (static_cast<unsigned>(data[size - 2]) << 8) | data[size - 1];
        percent = static_cast<float>(raw % 25601) / 256.0f;
    }
    const std::int32_t channels = audio->info.channels;
    for (const sorvane::LoopModeInfo& mode : sorvane::kLoopModes) {
        const std::unique_ptr<sorvane::LoopSource> loop =
            sorvane::makeLoop(mode.mode, audio->left, audio->right, channels, percent);
        if (loop && loop->frames() * loop->channels() <= kMaxWrittenSamples) {
            sorvane::OutputPlan plan = sorvane::planOutput(output, *audio);
            plan.extras = sorvane::metadataWriter(audio->metadata, plan.info, sorvane::AudioKept::New, std::nullopt);
            sorvane::writeOutputAudio(output, plan, *loop, err);
        } else if (loop) {
            // Too long to write: still build every frame, where the faults would be.
            std::vector<double> block(4096 * loop->channels());
            for (std::uint64_t first = 0; first < loop->frames(); first += 4096) {
                loop->fill(first, static_cast<std::size_t>(std::min<std::uint64_t>(4096, loop->frames() - first)),
                           block.data());
            }
        }
    }
    // The sustain search: every stage, on whatever the file holds, up to a
    // length and rate past which its cost (which grows with both) would only
    // measure the machine.
    if (audio->left.size() > kMaxSearchedFrames || audio->info.samplerate > 192000) {
        unlink(output.c_str());
        return 0;
    }
    const auto sustain = sorvane::findSustainLoop(audio->left, audio->right, channels, audio->info.samplerate, {});
    if (const auto* loop = std::get_if<sorvane::SustainLoop>(&sustain)) {
        const std::unique_ptr<sorvane::LoopSource> sound =
            sorvane::sustainedSound(audio->left, audio->right, channels, *loop);
        std::vector<double> block(4096 * sound->channels());
        for (std::uint64_t first = 0; first < sound->frames(); first += 4096) {
            sound->fill(first, static_cast<std::size_t>(std::min<std::uint64_t>(4096, sound->frames() - first)),
                        block.data());
        }
    }
    unlink(output.c_str());
    return 0;
}
