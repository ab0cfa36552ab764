#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "seam/seam_judge.hpp"

namespace sorvane {

// The seam of a loop as a file written holds it, decoded: frames [start,
// end) of the file, or the whole file without them. A lossy encoder can
// break a seam that was smooth as built. Nothing when the file cannot be
// read back.
std::optional<SeamJudgement> judgeWrittenSeam(const std::string& path, std::optional<std::uint64_t> start = std::nullopt,
                                              std::optional<std::uint64_t> end = std::nullopt);

// Whether `written` breaks a seam that `built` kept: smooth as built, and
// flagged as written.
bool brokeTheSeam(const SeamJudgement& built, const SeamJudgement& written);

} // namespace sorvane
