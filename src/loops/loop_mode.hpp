#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "loops/loop_builders.hpp"

namespace sorvane {

enum class LoopMode { Crossfade, PingPong, ZeroCrossing };

struct LoopModeInfo {
    LoopMode mode;
    const char* keyword; // as the command line and the usage text spell it
    // Whether a loop of no frames means the mode failed (no zero crossing to
    // cut at) rather than a valid empty loop (CROSSFADE 100).
    bool emptyIsFailure;
};

// Every mode, in the order the usage text lists them.
inline constexpr std::array<LoopModeInfo, 3> kLoopModes{{
    {LoopMode::Crossfade, "CROSSFADE", false},
    {LoopMode::PingPong, "PINGPONG", false},
    {LoopMode::ZeroCrossing, "ZEROCROSSING", true},
}};

inline constexpr float kDefaultCrossfadePercent = 15.0f;

// Case-blind match of the whole keyword; nothing else is accepted.
std::optional<LoopMode> parseLoopMode(const std::string& keyword);

// The mode's loop of the input; nothing when the mode failed on it. `percent`
// is read by CROSSFADE only.
std::unique_ptr<LoopSource> makeLoop(LoopMode mode, const ChannelBuffer& left, const ChannelBuffer& right,
                                     std::int32_t channelCount, float percent = kDefaultCrossfadePercent);

} // namespace sorvane
