#include "loops/loop_mode.hpp"

#include <cctype>

namespace sorvane {

std::optional<LoopMode> parseLoopMode(const std::string& keyword) {
    for (const LoopModeInfo& info : kLoopModes) {
        const std::string name = info.keyword;
        bool same = name.size() == keyword.size();
        for (std::size_t i = 0; same && i < name.size(); ++i) {
            same = std::toupper(static_cast<unsigned char>(keyword[i])) == name[i];
        }
        if (same) {
            return info.mode;
        }
    }
    return std::nullopt;
}

std::unique_ptr<LoopSource> makeLoop(LoopMode mode, const ChannelBuffer& left, const ChannelBuffer& right,
                                     std::int32_t channelCount, float percent) {
    std::unique_ptr<LoopSource> loop;
    switch (mode) {
    case LoopMode::Crossfade: loop = crossfadeLoop(left, right, channelCount, percent); break;
    case LoopMode::PingPong: loop = pingPongLoop(left, right, channelCount); break;
    case LoopMode::ZeroCrossing: loop = zeroCrossingLoop(left, right, channelCount); break;
    }
    for (const LoopModeInfo& info : kLoopModes) {
        if (info.mode == mode && info.emptyIsFailure && loop->frames() == 0) {
            return nullptr;
        }
    }
    return loop;
}

} // namespace sorvane
