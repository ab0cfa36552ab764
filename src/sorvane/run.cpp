#include "sorvane/run.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "audio_io/audio_io.hpp"
#include "cli/out_of_memory_status.hpp"
#include "cli/report.hpp"
#include "loops/loop_mode.hpp"
#include "seam/written_seam.hpp"

namespace sorvane {

namespace {

void printUsage(const char* programName, std::ostream& err) {
    err << "Sorvane generator by Kettrick.\n"
        << "Usage: " << programName
        << " <input audio file> <output audio file> <CROSSFADE|PINGPONG|ZEROCROSSING>"
           " [crossfade length percent]\n";
}

int runChecked(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    if (argc != 4 && argc != 5) {
        // An empty argument vector has no name to show; use the program's own.
        printUsage(argc > 0 && argv[0] != nullptr ? argv[0] : "sorvane", err);
        return 1;
    }
    const std::string inputPath = argv[1];
    const std::string outputPath = argv[2];

    const std::optional<LoopMode> mode = parseLoopMode(argv[3]);
    if (!mode) {
        err << "Error: unknown mode \"" << argv[3] << "\".\n"
            << "Valid modes are: CROSSFADE, PINGPONG, ZEROCROSSING\n";
        return 1;
    }

    float percent = kDefaultCrossfadePercent;
    if (argc == 5) {
        const std::optional<float> parsed = parseCrossfadePercent(argv[4]);
        if (!parsed) {
            err << "Cross fade length must be a number between 0 and 100 %\n";
            return 1;
        }
        percent = *parsed;
    }
    // sorvane takes no options: a path that looks like one ("--help") is a
    // mistyped command, not a file to create or read.
    for (const auto& [role, path] : {std::pair{"input", &inputPath}, std::pair{"output", &outputPath}}) {
        if (path->size() > 1 && path->front() == '-') {
            err << "Error: " << role << " file \"" << *path << "\" looks like an option; sorvane takes none. "
                << "For a file of that name, write ./" << *path << ".\n";
            return 1;
        }
    }

    const std::optional<AudioInput> input = readInputAudio(inputPath, err);
    if (!input) {
        return 1;
    }
    const std::int32_t channels = input->info.channels;

    const std::unique_ptr<LoopSource> loop = makeLoop(*mode, input->left, input->right, channels, percent);
    if (!loop) {
        err << "Error: no zero-crossing found in input file.\n";
        return 1;
    }

    // The loop is new audio: it keeps what describes the recording, and
    // drops what pointed into the old audio (cue points, loops).
    OutputPlan plan = planOutput(outputPath, *input);
    plan.extras = metadataWriter(input->metadata, plan.info, AudioKept::New, std::nullopt);
    const std::optional<std::uint64_t> written = writeOutputAudio(outputPath, plan, *loop, err);
    if (!written) {
        return 1;
    }
    if (plan.info.samplerate != input->info.samplerate) {
        err << "Note: " << outputPath << ": resampled from " << input->info.samplerate << " Hz to "
            << plan.info.samplerate << " Hz, which " << lossyCodecName(*lossyCodecOf(plan.info.format))
            << " carries; the loop is "
            << resamplingFor(*written, std::nullopt, input->info.samplerate, plan.info.samplerate).frames
            << " frames there.\n";
    }
    // A lossy encoder can break a seam that was smooth as built: the loop is
    // decoded from the file and judged again, and a broken seam is said.
    if (isLossy(plan.info.format) && outputPath != "-" && *written >= 2) {
        const SeamJudgement built = judgeSeam(*loop, input->info.samplerate);
        const std::optional<SeamJudgement> heard = judgeWrittenSeam(outputPath);
        if (heard && brokeTheSeam(built, *heard)) {
            err << "Warning: " << outputPath << ": the seam, smooth as built, is a " << verdictText(heard->verdict)
                << " as written: the lossy encoder broke it; a lossless format (FLAC, WAV) keeps it.\n";
        }
    }

    // With the loop going to standard output ("-"), the report must stay out
    // of the audio stream: it goes to standard error instead.
    std::ostream& report = outputPath == "-" ? err : out;
    report << "Successfully processed audio.\n"
           << "Input:  " << inputPath << "\n"
           << "Output: " << outputPath << "\n"
           << "Buffer: " << *written << " sample frames\n";
    return flushReport(report, err) ? 0 : 1;
}

} // namespace

std::optional<float> parseCrossfadePercent(const char* text) {
    errno = 0;
    char* end = nullptr;
    const float value = std::strtof(text, &end);
    const bool rejected = end == text || *end != '\0' || errno == ERANGE || value < 0.0f ||
                          value > 100.0f || std::isnan(value);
    if (rejected) {
        return std::nullopt;
    }
    return value;
}

int runSorvane(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    // Only a run that got as far as reading its input can run out of memory.
    const std::string input = argc > 1 && argv[1] != nullptr ? argv[1] : "";
    return whenMemoryRunsOut(1, err, "Error: not enough memory to loop " + input + ".\n",
                             [&] { return runChecked(argc, argv, out, err); });
}

} // namespace sorvane
