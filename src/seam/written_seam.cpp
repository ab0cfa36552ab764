#include "seam/written_seam.hpp"

#include <sstream>

#include "audio_io/file_frames.hpp"

namespace sorvane {

std::optional<SeamJudgement> judgeWrittenSeam(const std::string& path, std::optional<std::uint64_t> start,
                                              std::optional<std::uint64_t> end) {
    std::ostringstream ignored;
    std::optional<OpenInput> opened = openInputAudio(path, ignored);
    if (!opened || !opened->fileBytes) {
        return std::nullopt;
    }
    const int rate = opened->info.samplerate;
    const FileFrames file(std::move(*opened));
    const std::uint64_t first = start.value_or(0);
    const std::uint64_t last = std::min(end.value_or(file.frames()), file.frames());
    if (last < first + 2) {
        return std::nullopt;
    }
    SeamJudgement judgement = judgeSeam(*spanOf(file, first, last), rate);
    return file.error() ? std::nullopt : std::optional<SeamJudgement>(std::move(judgement));
}

bool brokeTheSeam(const SeamJudgement& built, const SeamJudgement& written) {
    const auto flagged = [](const SeamJudgement& j) {
        return j.verdict == SeamVerdict::LikelyClick || j.verdict == SeamVerdict::LevelJump;
    };
    return built.verdict == SeamVerdict::Smooth && flagged(written);
}

} // namespace sorvane
