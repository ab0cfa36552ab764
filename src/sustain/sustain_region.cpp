#include "sustain/sustain_region.hpp"

#include <algorithm>
#include <cmath>

namespace sorvane {

namespace {

// The level is measured on 20 ms windows: a few periods of the lowest notes,
// short enough to follow an attack.
constexpr double kWindowSeconds = 0.02;
constexpr double kEarliestStartSeconds = 0.1;
// Settled: the level moves by less than this over the next 100 ms.
constexpr double kSettledDb = 1.0;
constexpr std::size_t kSettleWindows = 5;
// The release begins where the level falls this far below the sustain's
// median and stays there to the end.
constexpr double kReleaseDropDb = 6.0;
constexpr double kAttackReachDb = 3.0;

double decibels(double rms) { return 20.0 * std::log10(std::max(rms, 1e-12)); }

} // namespace

std::vector<double> rmsEnvelope(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                                std::size_t window) {
    std::vector<double> envelope;
    const std::size_t frames = left.size();
    for (std::size_t first = 0; first < frames; first += window) {
        const std::size_t last = std::min(frames, first + window);
        double sum = 0.0;
        for (std::size_t k = first; k < last; ++k) {
            sum += left[k] * left[k];
            if (channelCount > 1) {
                sum += right[k] * right[k];
            }
        }
        envelope.push_back(std::sqrt(sum / static_cast<double>((last - first) * static_cast<std::size_t>(channelCount))));
    }
    return envelope;
}

std::optional<FrameSpan> findSustainRegion(const ChannelBuffer& left, const ChannelBuffer& right,
                                           std::int32_t channelCount, int sampleRate) {
    const auto window = std::max<std::size_t>(1, static_cast<std::size_t>(kWindowSeconds * sampleRate));
    const std::vector<double> envelope = rmsEnvelope(left, right, channelCount, window);
    if (envelope.empty()) {
        return std::nullopt;
    }
    const double loudest = *std::max_element(envelope.begin(), envelope.end());
    if (!(loudest >= kSilenceRms)) {
        return std::nullopt;
    }
    // The attack ends at the first window near the loudest: a bowed or
    // blown note may swell later, and its sustain begins long before.
    std::size_t peakAt = 0;
    while (decibels(envelope[peakAt]) < decibels(loudest) - kAttackReachDb) {
        ++peakAt;
    }
    std::size_t settled = peakAt;
    while (settled + kSettleWindows < envelope.size() &&
           std::fabs(decibels(envelope[settled + kSettleWindows]) - decibels(envelope[settled])) > kSettledDb) {
        ++settled;
    }
    if (settled + kSettleWindows >= envelope.size()) {
        settled = peakAt + 1; // a sound that decays throughout: start right after the peak
    }
    const auto earliest = static_cast<std::size_t>(kEarliestStartSeconds * sampleRate);
    FrameSpan region;
    region.start = std::min(left.size(), std::max(earliest, settled * window));

    const std::size_t firstWindow = region.start / window;
    std::vector<double> levels;
    for (std::size_t i = firstWindow; i < envelope.size(); ++i) {
        levels.push_back(decibels(envelope[i]));
    }
    region.end = left.size();
    if (!levels.empty()) {
        std::vector<double> sorted = levels;
        const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
        std::nth_element(sorted.begin(), middle, sorted.end());
        const double floor = *middle - kReleaseDropDb;
        std::size_t last = levels.size();
        while (last > 0 && levels[last - 1] < floor) {
            --last;
        }
        if (last < levels.size()) {
            // The release began where the level last left the sustain's.
            while (last > 0 && levels[last - 1] < *middle - kSettledDb) {
                --last;
            }
            region.end = std::max(region.start, std::min(left.size(), (firstWindow + last) * window));
        }
    }
    return region;
}

} // namespace sorvane
