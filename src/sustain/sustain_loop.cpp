#include "sustain/sustain_loop.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <sstream>
#include <vector>

#include "dsp/fft_correlation.hpp"

namespace sorvane {

namespace {

// A loop's length may be off a whole number of periods by this much and no
// more: a tenth of a cent.
const double kMostDetune = std::exp2(0.1 / 1200.0) - 1.0;
constexpr std::size_t kLengthsTried = 10;
constexpr std::size_t kStartsPerLength = 8;
constexpr std::size_t kSeamsJudged = 24;
constexpr double kLoudnessSpanSeconds = 0.05;
constexpr double kLoudnessFreeDb = 0.5;
// Each dB of loudness change beyond the free half dB weighs like a waveform
// mismatch of the whole signal: a loop that swells or fades every cycle is
// heard however well its ends meet.
constexpr double kLoudnessPenaltyPerDb = 1.0;
// When no loop passes, the search runs again with loudness first: each dB
// beyond the free half weighs like a hundred whole mismatches.
constexpr double kSteadyFirstPenaltyPerDb = 100.0;
// --flatten evens out a fade or swell of up to this much across the loop.
constexpr double kMostFlattenDb = 40.0;
constexpr double kCrossfadeMs = 30.0; // the blend for a seam that needs one, unless given
constexpr std::size_t kDriftBlendQuarterSpans = 32; // up to eight spans of the loudness measure
constexpr std::size_t kBlendsJudged = 3;
constexpr double kUnpitchedMatchSeconds = 0.0025;
constexpr double kRegionSlackSeconds = 0.02;
constexpr std::size_t kLongestSearchFrames = std::size_t{1} << 20;
// Beyond this the seam judge's period search, which grows with the square
// of the rate, would take minutes; no recording of a note needs more.
constexpr int kHighestRate = 768000;

// Seconds to the millisecond; a stretch shorter than 10 ms in milliseconds,
// so that no length reads as 0.000 s.
std::string seconds(std::size_t frames, int sampleRate) {
    const double value = static_cast<double>(frames) / static_cast<double>(sampleRate);
    std::ostringstream text;
    text << std::fixed;
    if (frames > 0 && value < 0.01) {
        text.precision(2);
        text << value * 1000.0 << " ms";
    } else {
        text.precision(3);
        text << value << " s";
    }
    return text.str();
}

struct Channels {
    std::vector<const ChannelBuffer*> list;
    std::size_t frames() const { return list.front()->size(); }
    // The energy of frame t, all channels together.
    double energy(std::size_t t) const {
        double sum = 0.0;
        for (const ChannelBuffer* channel : list) {
            sum += (*channel)[t] * (*channel)[t];
        }
        return sum;
    }
    double energy(std::size_t first, std::size_t last) const {
        double sum = 0.0;
        for (std::size_t t = first; t < last; ++t) {
            sum += energy(t);
        }
        return sum;
    }
};

double decibelRatio(double a, double b) {
    if (a <= 0.0 || b <= 0.0) {
        return a == b ? 0.0 : 200.0;
    }
    return 10.0 * std::log10(a / b);
}

struct Candidate {
    std::size_t start = 0;
    std::size_t length = 0;
    std::size_t periods = 0;
    double cost = 0.0;
};

// The normalised autocorrelation of the region at every lag, all channels
// together. The energies of the overlapping stretches at each lag are summed
// from the shortest stretch up, so that the small ones keep their precision.
std::vector<double> regionAutocorrelation(const Channels& channels, FrameSpan region) {
    const std::size_t size = region.size();
    std::vector<const double*> signals;
    for (const ChannelBuffer* channel : channels.list) {
        signals.push_back(channel->data() + region.start);
    }
    std::vector<double> acf = autocorrelationSum(signals, size, size - 1);
    double head = 0.0; // of frames [start, end - lag)
    double tail = 0.0; // of frames [start + lag, end)
    for (std::size_t lag = size; lag-- > 0;) {
        head += channels.energy(region.end - lag - 1);
        tail += channels.energy(region.start + lag);
        acf[lag] = head > 0.0 && tail > 0.0 ? acf[lag] / std::sqrt(head * tail) : 0.0;
    }
    return acf;
}

// Loop lengths worth trying, best correlated first: whole numbers of periods
// within a tenth of a cent for a pitched sound, else the lags at which the
// sound best resembles itself.
std::vector<Candidate> candidateLengths(const std::vector<double>& acf, const PitchEstimate& pitch,
                                        std::size_t shortest, std::size_t longest, std::size_t spacing,
                                        bool shortestFirst) {
    std::vector<Candidate> lengths;
    std::vector<double> scores;
    // A short loop may hold no whole number of periods within a tenth of a
    // cent of whole frames: the tolerance then doubles until some do, so
    // that the loop is detuned as little as its length allows.
    for (double tolerance = kMostDetune; pitch.pitched && lengths.empty() && tolerance < 1.0; tolerance *= 2.0) {
        for (auto periods = static_cast<std::size_t>(std::ceil(static_cast<double>(shortest) / pitch.period));
             static_cast<double>(periods) * pitch.period <= static_cast<double>(longest); ++periods) {
            const double exact = static_cast<double>(periods) * pitch.period;
            const double reach = std::min(0.5, exact * tolerance);
            const auto low = static_cast<std::size_t>(std::max(1.0, std::ceil(exact - reach)));
            const auto high = std::min(longest, static_cast<std::size_t>(std::floor(exact + reach)));
            std::size_t best = 0;
            for (std::size_t lag = std::max(low, shortest); lag <= high; ++lag) {
                if (best == 0 || acf[lag] > acf[best]) {
                    best = lag;
                }
            }
            if (best != 0) {
                lengths.push_back({0, best, periods, 0.0});
                scores.push_back(acf[best]);
            }
        }
    }
    if (!pitch.pitched) {
        std::size_t best = 0;
        for (std::size_t lag = std::max<std::size_t>(shortest, 1); lag <= longest && lag + 1 < acf.size(); ++lag) {
            if (acf[lag] >= acf[lag - 1] && acf[lag] >= acf[lag + 1]) {
                lengths.push_back({0, lag, 0, 0.0});
                scores.push_back(acf[lag]);
            }
            best = best == 0 || acf[lag] > acf[best] ? lag : best;
        }
        if (lengths.empty() && best != 0) {
            lengths.push_back({0, best, 0, 0.0}); // no peak in reach: the best lag there is
            scores.push_back(acf[best]);
        }
    }
    std::vector<std::size_t> order(lengths.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (!shortestFirst) {
        std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return scores[i] > scores[j]; });
    }
    std::vector<Candidate> chosen;
    for (std::size_t i : order) {
        const bool crowded = std::any_of(chosen.begin(), chosen.end(), [&](const Candidate& c) {
            const std::size_t gap = c.length > lengths[i].length ? c.length - lengths[i].length
                                                                 : lengths[i].length - c.length;
            return gap < spacing;
        });
        if (!crowded) {
            chosen.push_back(lengths[i]);
        }
        if (chosen.size() == kLengthsTried) {
            break;
        }
    }
    return chosen;
}

// The best starts for a loop of `length` frames: the waveform `half` frames
// either side of the start against the same around the end (normalised
// average magnitude difference, the worst channel deciding), plus a penalty
// on a loudness change between the whole periods at start and end.
//
// The sums slide a frame at a time, each step adding the frame that comes in
// and taking off the one that leaves, and are taken afresh every so often so
// that rounding cannot pile up over a long sustain: no sums over the whole
// note are held. `C` is the number of channels, so that the step keeps its
// sums in registers.
template <std::size_t C>
void bestStartsOf(const Channels& channels, std::size_t first, std::size_t last, const Candidate& shape,
                  std::size_t half, std::size_t span, double penaltyPerDb, std::vector<Candidate>& out) {
    constexpr std::size_t kFreshEvery = 4096;
    const std::size_t length = shape.length;
    const double* x[C];
    for (std::size_t c = 0; c < C; ++c) {
        x[c] = channels.list[c]->data();
    }
    auto energy = [&](std::size_t t) {
        double sum = 0.0;
        for (std::size_t c = 0; c < C; ++c) {
            sum += x[c][t] * x[c][t];
        }
        return sum;
    };
    double differ[C];
    double level[C];
    double startLoudness = 0.0;
    double endLoudness = 0.0;
    auto takeAfresh = [&](std::size_t s) {
        for (std::size_t c = 0; c < C; ++c) {
            differ[c] = 0.0;
            level[c] = 0.0;
            for (std::size_t t = s - half; t < s + half; ++t) {
                differ[c] += std::fabs(x[c][t] - x[c][t + length]);
                level[c] += std::fabs(x[c][t]) + std::fabs(x[c][t + length]);
            }
        }
        startLoudness = channels.energy(s, s + span);
        endLoudness = channels.energy(s + length - span, s + length);
    };
    takeAfresh(first);

    const std::size_t starts = last - first + 1;
    const std::size_t parts = std::min(kStartsPerLength, starts);
    std::vector<Candidate> best(parts);
    std::vector<char> found(parts, 0);
    std::size_t part = 0;
    std::size_t partEnds = first + (starts + parts - 1) / parts; // the first start of the next part
    for (std::size_t s = first;; ++s) {
        if (s == partEnds) {
            ++part;
            partEnds = first + ((part + 1) * starts + parts - 1) / parts;
        }
        // The penalty only adds: a start whose waveform alone costs no less
        // than the best so far cannot win, which is told without dividing.
        bool mayWin = true;
        for (std::size_t c = 0; c < C && mayWin && found[part] != 0; ++c) {
            mayWin = level[c] > 0.0 ? 2.0 * differ[c] < best[part].cost * level[c] : 0.0 < best[part].cost;
        }
        if (mayWin) {
            double cost = 0.0;
            for (std::size_t c = 0; c < C; ++c) {
                cost = std::max(cost, level[c] > 0.0 ? 2.0 * differ[c] / level[c] : 0.0);
            }
            const double loudness = decibelRatio(endLoudness, startLoudness);
            const double total = cost + penaltyPerDb * std::max(0.0, std::fabs(loudness) - kLoudnessFreeDb);
            if (found[part] == 0 || total < best[part].cost) {
                found[part] = 1;
                best[part] = {s, length, shape.periods, total};
            }
        }
        if (s == last) {
            break;
        }
        if ((s + 1 - first) % kFreshEvery == 0) {
            takeAfresh(s + 1);
            continue;
        }
        const std::size_t in = s + half;
        const std::size_t gone = s - half;
        for (std::size_t c = 0; c < C; ++c) {
            const double a = x[c][in];
            const double b = x[c][in + length];
            const double d = x[c][gone];
            const double e = x[c][gone + length];
            differ[c] += std::fabs(a - b) - std::fabs(d - e);
            level[c] += std::fabs(a) + std::fabs(b) - std::fabs(d) - std::fabs(e);
        }
        startLoudness += energy(s + span) - energy(s);
        endLoudness += energy(s + length) - energy(s + length - span);
    }
    for (std::size_t p = 0; p < parts; ++p) {
        if (found[p] != 0) {
            out.push_back(best[p]);
        }
    }
}

void bestStarts(const Channels& channels, FrameSpan region, const Candidate& shape, std::size_t half,
                std::size_t span, double penaltyPerDb, std::vector<Candidate>& out) {
    const std::size_t frames = channels.frames();
    const std::size_t first = std::max(region.start, half);
    // The window around the end must fit in the file.
    const std::size_t end = std::min(region.end, frames - std::min(frames, half));
    if (end < shape.length || end - shape.length < first) {
        return;
    }
    const std::size_t last = end - shape.length; // inclusive
    if (channels.list.size() == 1) {
        bestStartsOf<1>(channels, first, last, shape, half, span, penaltyPerDb, out);
    } else {
        bestStartsOf<2>(channels, first, last, shape, half, span, penaltyPerDb, out);
    }
}

// The loop as it would be written (its end blended as `blend` has it),
// judged where it wraps, read in place rather than copied.
SeamJudgement judgeLoop(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                        int sampleRate, FrameSpan loop, const SustainLoop& blend) {
    const std::unique_ptr<LoopSource> note = sustainedSound(left, right, channelCount, blend);
    return judgeSeam(*spanOf(*note, loop.start, loop.end), sampleRate);
}

// Blends the `frames` frames before the loop's start into the loop's last
// frames, so that the end flows into the start. The gains keep the loudness:
// a and b sum to 1 for fully correlated stretches and their squares sum to 1
// for uncorrelated ones, following the measured correlation between.
void blendEnd(const Channels& channels, SustainLoop& result, std::size_t frames) {
    const std::size_t start = result.loop.start;
    const std::size_t end = result.loop.end;
    double product = 0.0;
    double before = 0.0;
    double ending = 0.0;
    for (const ChannelBuffer* channel : channels.list) {
        for (std::size_t i = 0; i < frames; ++i) {
            const double a = (*channel)[start - frames + i] * result.gainAt(start - frames + i);
            const double b = (*channel)[end - frames + i] * result.gainAt(end - frames + i);
            product += a * b;
            before += a * a;
            ending += b * b;
        }
    }
    const double correlation =
        before > 0.0 && ending > 0.0 ? std::clamp(product / std::sqrt(before * ending), 0.0, 1.0) : 0.0;
    result.crossfadeCorrelation = correlation;
    for (std::size_t c = 0; c < channels.list.size(); ++c) {
        const ChannelBuffer& x = *channels.list[c];
        ChannelBuffer& blended = c == 0 ? result.blendedLeft : result.blendedRight;
        blended.resize(frames);
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i + 1) / static_cast<double>(frames);
            const double norm = std::sqrt(t * t + (1.0 - t) * (1.0 - t) + 2.0 * correlation * t * (1.0 - t));
            const double body = x[end - frames + i] * result.gainAt(end - frames + i);
            blended[i] = ((1.0 - t) * body + t * x[start - frames + i] * result.gainAt(start - frames + i)) / norm;
        }
    }
}

std::size_t crossfadeLength(const SustainLoop& result, double wanted) {
    const std::size_t room = std::min(result.loop.start, result.loop.size() / 2);
    wanted = std::min(wanted, static_cast<double>(room));
    if (!result.pitch.pitched) {
        return std::min(room, static_cast<std::size_t>(std::lround(wanted)));
    }
    // Whole periods, so that the blended stretches are in phase.
    for (double periods = std::max(1.0, std::round(wanted / result.pitch.period)); periods >= 1.0; periods -= 1.0) {
        const auto frames = static_cast<std::size_t>(std::lround(periods * result.pitch.period));
        if (frames <= room) {
            return frames;
        }
    }
    return 0;
}

// Loudness of the loop as written: its last whole periods against its first.
// Both ends as written: the flattening gain rises across the head too.
double loudnessOf(const Channels& channels, const SustainLoop& loop, std::size_t span) {
    auto written = [&](std::size_t from, std::size_t to) {
        double sum = 0.0;
        for (std::size_t c = 0; c < channels.list.size(); ++c) {
            const ChannelBuffer& blended = c == 0 ? loop.blendedLeft : loop.blendedRight;
            const std::size_t blendFrom = loop.loop.end - blended.size();
            for (std::size_t k = from; k < to; ++k) {
                const double v = k >= blendFrom ? blended[k - blendFrom] : (*channels.list[c])[k] * loop.gainAt(k);
                sum += v * v;
            }
        }
        return sum;
    };
    const double head = loop.flattenDb == 0.0 && loop.lowerDb == 0.0 ? channels.energy(loop.loop.start, loop.loop.start + span)
                                              : written(loop.loop.start, loop.loop.start + span);
    return decibelRatio(written(loop.loop.end - span, loop.loop.end), head);
}

// The gain of the whole note that keeps every frame within full scale when
// the loop's gain rises by `flattenDb` across it: 0, or less.
double lowerToFit(const Channels& channels, const SustainLoop& loop, double flattenDb) {
    double lower = 0.0;
    for (const ChannelBuffer* channel : channels.list) {
        for (std::size_t k = 0; k < channel->size(); ++k) {
            const double along = k < loop.loop.start ? 0.0
                                 : k >= loop.loop.end
                                     ? 1.0
                                     : static_cast<double>(k - loop.loop.start) / static_cast<double>(loop.loop.size());
            const double magnitude = std::fabs((*channel)[k]);
            if (magnitude > 0.0) {
                lower = std::min(lower, -20.0 * std::log10(magnitude) - flattenDb * along);
            }
        }
    }
    // A hair more, so that rounding in the gain cannot end a hair past full scale.
    return lower < 0.0 ? lower - 1e-9 : 0.0;
}

// Sets the loop's flattening gain so that its last whole periods come to the
// level of its first: a few steps, each taking off the change still left,
// the blend made again with each gain. Where the gain would take a frame
// past full scale, the whole note is lowered to make room.
void flatten(const Channels& channels, SustainLoop& loop, std::size_t span) {
    // A blend answers the gain only in part (its frames from before the
    // start keep the start's gain), so each step after the first divides by
    // the answer the last step met: a secant search, where a dB of gain is a
    // dB of change in an unblended loop. The gain stays within kMostFlattenDb,
    // and the steadiest step is kept.
    auto setGain = [&](double gainDb) {
        loop.flattenDb = std::clamp(gainDb, -kMostFlattenDb, kMostFlattenDb);
        loop.lowerDb = lowerToFit(channels, loop, loop.flattenDb);
        if (loop.crossfadeFrames() > 0) {
            blendEnd(channels, loop, loop.crossfadeFrames());
        }
        return loudnessOf(channels, loop, span);
    };
    double slope = 1.0;
    double lastGain = loop.flattenDb;
    double lastChange = loudnessOf(channels, loop, span);
    double bestGain = lastGain;
    double bestChange = lastChange;
    for (int step = 0; step < 8 && std::fabs(lastChange) >= 0.005; ++step) {
        const double change = setGain(lastGain - lastChange / slope);
        if (loop.flattenDb != lastGain) {
            slope = std::clamp((change - lastChange) / (loop.flattenDb - lastGain), 0.25, 1.0);
        }
        lastGain = loop.flattenDb;
        lastChange = change;
        if (std::fabs(change) < std::fabs(bestChange)) {
            bestGain = lastGain;
            bestChange = change;
        }
    }
    loop.loudnessChangeDb = lastGain == bestGain ? lastChange : setGain(bestGain);
}

// The candidate as it would be written: judged as it is, and blended when its
// seam is not clearly smooth or its loudness drifts, so that the end of the
// loop comes back to the level of its start. A blend that would make a
// clearly smooth seam less so is dropped.
SustainLoop finishLoop(const Channels& channels, const ChannelBuffer& left, const ChannelBuffer& right,
                       std::int32_t channelCount, int sampleRate, const SustainSettings& settings,
                       const SustainLoop& base, const Candidate& candidate, std::size_t span) {
    SustainLoop result = base;
    result.loop = {candidate.start, candidate.start + candidate.length};
    result.periods = candidate.periods;
    if (result.pitch.pitched) {
        result.detuneCents = 1200.0 * std::log2(static_cast<double>(candidate.length) /
                                                (static_cast<double>(candidate.periods) * result.pitch.period));
    }
    result.seam = judgeLoop(left, right, channelCount, sampleRate, result.loop, result);
    result.loudnessChangeDb = loudnessOf(channels, result, span);
    // Flattened, the loop comes back to its start's level by its gain: a
    // blend is for the seam alone.
    const bool drifts = !settings.flatten && std::fabs(result.loudnessChangeDb) > kLoudnessFreeDb;
    if (settings.flatten) {
        flatten(channels, result, span);
        result.seam = judgeLoop(left, right, channelCount, sampleRate, result.loop, result);
    }
    if (!settings.crossfade || (result.smoothWithMargin() && !drifts)) {
        return result;
    }
    const double perMs = static_cast<double>(sampleRate) / 1000.0;
    std::vector<SustainLoop> blends;
    if (!drifts) {
        if (const std::size_t frames = crossfadeLength(result, settings.crossfadeMs.value_or(kCrossfadeMs) * perMs);
            frames > 0) {
            blends.emplace_back(result);
            blendEnd(channels, blends.back(), frames);
            blends.back().loudnessChangeDb = loudnessOf(channels, blends.back(), span);
            if (settings.flatten) {
                flatten(channels, blends.back(), span);
                // A blend over most of the loop's last periods leaves the
                // gain little to move: shorter ones, steadiest first.
                for (std::size_t shorter = frames / 2;
                     std::fabs(blends.back().loudnessChangeDb) > kLoudnessFreeDb &&
                     (shorter = crossfadeLength(result, static_cast<double>(shorter))) > 0 &&
                     shorter < blends.back().crossfadeFrames();
                     shorter /= 2) {
                    blends.emplace_back(result);
                    blendEnd(channels, blends.back(), shorter);
                    flatten(channels, blends.back(), span);
                }
                std::stable_sort(blends.begin(), blends.end(), [](const SustainLoop& a, const SustainLoop& b) {
                    return std::fabs(a.loudnessChangeDb) < std::fabs(b.loudnessChangeDb);
                });
            }
        }
    }
    if (!settings.flatten && (drifts || (!blends.empty() && std::fabs(blends.back().loudnessChangeDb) > kLoudnessFreeDb))) {
        // As the blend grows, the loudness of the loop's last periods moves
        // from their own towards that of the periods before the start, which
        // lie on the start's other side in a note that fades or swells: the
        // lengths, in quarter spans up to eight spans, are ranked by how near
        // they bring the end to the start's loudness. So are they when the
        // blend a seam needs would move a steady end away from it.
        const double least = settings.crossfadeMs ? *settings.crossfadeMs * perMs : 0.0;
        std::size_t last = 0;
        for (std::size_t quarters = 1; quarters <= kDriftBlendQuarterSpans; ++quarters) {
            const std::size_t frames =
                crossfadeLength(result, std::max(least, static_cast<double>(quarters * span) / 4.0));
            if (frames == 0 || frames == last ||
                (!drifts && !blends.empty() && blends.front().crossfadeFrames() == frames)) {
                continue;
            }
            last = frames;
            SustainLoop trial = result;
            blendEnd(channels, trial, frames);
            trial.loudnessChangeDb = loudnessOf(channels, trial, span);
            blends.push_back(std::move(trial));
        }
        std::stable_sort(blends.begin(), blends.end(), [](const SustainLoop& a, const SustainLoop& b) {
            return std::fabs(a.loudnessChangeDb) < std::fabs(b.loudnessChangeDb);
        });
    }
    // The seam judge has the last word: the steadiest blend whose seam is
    // smooth with a margin, among the first few, else the steadiest.
    std::optional<SustainLoop> chosen;
    for (std::size_t i = 0; i < std::min(blends.size(), kBlendsJudged); ++i) {
        blends[i].seam = judgeLoop(left, right, channelCount, sampleRate, blends[i].loop, blends[i]);
        if (!chosen || (blends[i].smoothWithMargin() && !chosen->smoothWithMargin())) {
            chosen = blends[i];
        }
        if (chosen->smoothWithMargin()) {
            break;
        }
    }
    if (!chosen || (result.smoothWithMargin() && !chosen->smoothWithMargin())) {
        return result; // a blend that would make a clearly smooth seam less so is dropped
    }
    return *chosen;
}

} // namespace

std::variant<SustainLoop, std::string> findSustainLoop(const ChannelBuffer& left, const ChannelBuffer& right,
                                                       std::int32_t channelCount, int sampleRate,
                                                       const SustainSettings& settings) {
    Channels channels;
    channels.list.push_back(&left);
    if (channelCount > 1) {
        channels.list.push_back(&right);
    }
    const std::size_t frames = left.size();
    if (sampleRate > kHighestRate) {
        return "a sample rate of " + std::to_string(sampleRate) + " Hz is beyond the " + std::to_string(kHighestRate) +
               " Hz this program handles";
    }
    for (const ChannelBuffer* channel : channels.list) {
        if (!std::all_of(channel->begin(), channel->end(), [](double v) { return std::isfinite(v); })) {
            return std::string("the note holds samples that are not finite numbers; it looks damaged");
        }
    }
    SustainLoop result;
    const std::optional<FrameSpan> found = findSustainRegion(left, right, channelCount, sampleRate);
    if (!found) {
        return std::string("the sound is silent: there is nothing to loop");
    }
    result.region = *found;
    if (settings.regionStart && *settings.regionStart >= frames) {
        return "the note ends at " + seconds(frames, sampleRate) + ", before the sustain is to start (" +
               seconds(*settings.regionStart, sampleRate) + ")";
    }
    result.region.start = settings.regionStart.value_or(result.region.start);
    // A sustain asked to start past the one found runs on to the note's end
    // (or the end asked for): the search keeps the start it was given.
    if (settings.regionStart && result.region.start >= result.region.end) {
        result.region.end = frames;
    }
    result.region.end = settings.regionEnd.value_or(result.region.end);
    result.region.end = std::min(result.region.end, frames);
    result.region.start = std::min(result.region.start, result.region.end);
    const std::size_t shortest =
        settings.shortestLoop ? *settings.shortestLoop : std::min<std::size_t>(static_cast<std::size_t>(sampleRate), frames / 2);
    if (shortest < 2) {
        return "the shortest loop asked for is " + std::to_string(shortest) + " frame" + (shortest == 1 ? "" : "s") +
               " at " + std::to_string(sampleRate) + " Hz; a loop takes 2 frames at least";
    }
    // The matching window around the loop's ends needs a little room beyond it.
    const std::size_t room = shortest + static_cast<std::size_t>(kRegionSlackSeconds * sampleRate);
    if (!settings.regionEnd && !settings.shortestLoop && result.region.size() < room) {
        // A fading note seems to be released all along: for the default
        // length, the loop may reach into its tail.
        result.region.end = frames;
    }
    if (!settings.regionStart && result.region.size() < room) {
        // A short note settles late, if at all: reach back towards the
        // attack, though not into its first 100 ms (a fifth of a short note).
        const std::size_t floor = std::min(static_cast<std::size_t>(0.1 * sampleRate), frames / 5);
        result.region.start = std::max(floor, result.region.end - std::min(result.region.end, room));
        result.region.start = std::min(result.region.start, result.region.end);
    }
    // The search's memory and time grow with the sustain (its autocorrelation
    // takes 24 bytes a frame): a longer one is searched in its first 2^20
    // frames (about 22 s at 48 kHz), or as far as the shortest loop asked
    // for needs.
    result.region.end = std::min(result.region.end, result.region.start + std::max(kLongestSearchFrames, 2 * room));
    if (result.region.size() < shortest + 2 || shortest < 2) {
        return "no sustain long enough for a loop of " + seconds(shortest, sampleRate) + " (the sustain runs from " +
               seconds(result.region.start, sampleRate) + " to " + seconds(result.region.end, sampleRate) + ")";
    }

    std::vector<const double*> regionChannels;
    for (const ChannelBuffer* channel : channels.list) {
        regionChannels.push_back(channel->data() + result.region.start);
    }
    result.pitch = estimatePitch(regionChannels, result.region.size(), sampleRate);
    const std::vector<double> acf = regionAutocorrelation(channels, result.region);
    if (result.pitch.pitched) {
        result.pitch.period = refinePeriod(acf, fundamentalPeriod(acf, result.pitch.period, sampleRate));
        result.frequency = static_cast<double>(sampleRate) / result.pitch.period;
    }

    const std::size_t half = result.pitch.pitched
                                 ? static_cast<std::size_t>(std::ceil(result.pitch.period))
                                 // An eighth of a sustain of a few milliseconds, so that a loop fits in it.
                                 : std::max<std::size_t>(2, std::min(static_cast<std::size_t>(kUnpitchedMatchSeconds * sampleRate),
                                                                     result.region.size() / 8));
    const double wantedSpan = kLoudnessSpanSeconds * static_cast<double>(sampleRate);
    auto span = static_cast<std::size_t>(
        result.pitch.pitched ? std::lround(std::max(1.0, std::round(wantedSpan / result.pitch.period)) * result.pitch.period)
                             : std::lround(wantedSpan));
    span = std::clamp<std::size_t>(span, 1, shortest / 2);
    // The longest loop that leaves room for the matching window at both ends.
    const std::size_t firstStart = std::max(result.region.start, half);
    const std::size_t lastEnd = std::min(result.region.end, frames - std::min(frames, half));
    // The autocorrelation that ranks the lengths has lags up to one less than
    // the sustain's length.
    const std::size_t longest = std::min(lastEnd > firstStart ? lastEnd - firstStart : 0, result.region.size() - 1);
    const std::size_t spacing = std::max<std::size_t>(1, static_cast<std::size_t>(0.005 * sampleRate));
    if (result.pitch.pitched && static_cast<double>(longest) < std::ceil(static_cast<double>(shortest) / result.pitch.period) * result.pitch.period) {
        // No whole number of periods fits between the shortest loop and the
        // room there is: loop by waveform alone.
        result.pitch.pitched = false;
    }
    // The lengths that repeat the sound best; or, when loudness comes first,
    // the shortest, which a fading or swelling note changes least across.
    auto search = [&](double penaltyPerDb, bool shortestFirst) {
        std::vector<Candidate> candidates;
        for (const Candidate& length : candidateLengths(acf, result.pitch, shortest, longest,
                                                        result.pitch.pitched ? 1 : spacing, shortestFirst)) {
            bestStarts(channels, result.region, length, half, span, penaltyPerDb, candidates);
        }
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const Candidate& a, const Candidate& b) { return a.cost < b.cost; });
        return candidates;
    };
    const std::vector<Candidate> candidates = search(kLoudnessPenaltyPerDb, false);
    if (candidates.empty()) {
        return "no loop of " + seconds(shortest, sampleRate) + " or more fits the sustain (from " +
               seconds(result.region.start, sampleRate) + " to " + seconds(result.region.end, sampleRate) + ")";
    }

    // The seam judge has the last word. Each candidate, best by cost first,
    // is finished as it would be written (blended where needed) and judged;
    // one smooth with a margin and steady in loudness passes, else the best
    // of those tried is taken.
    const SustainLoop base = result;
    auto rank = [](const SustainLoop& loop) {
        return std::pair(loop.smoothWithMargin() ? 0 : 1, std::fabs(loop.loudnessChangeDb));
    };
    // Among those that pass, the longest: a longer loop repeats the sound's
    // own chorus and tremolo less often.
    std::optional<SustainLoop> passing;
    bool tried = false;
    auto judgeEach = [&](const std::vector<Candidate>& ranked) {
        for (std::size_t i = 0; i < std::min(kSeamsJudged, ranked.size()); ++i) {
            if (passing && ranked[i].length <= passing->loop.size()) {
                continue;
            }
            SustainLoop finished =
                finishLoop(channels, left, right, channelCount, sampleRate, settings, base, ranked[i], span);
            const bool done = finished.smoothWithMargin() && std::fabs(finished.loudnessChangeDb) <= kLoudnessFreeDb;
            if (done) {
                passing = std::move(finished);
            } else if (!passing && (!tried || rank(finished) < rank(result))) {
                result = std::move(finished);
            }
            tried = true;
        }
    };
    judgeEach(candidates);
    if (!passing && !settings.flatten) {
        // The best seams all swell or fade: the steadiest starts, then.
        judgeEach(search(kSteadyFirstPenaltyPerDb, true));
    }
    return passing ? *passing : result;
}

double SustainLoop::gainAt(std::size_t k) const {
    if (flattenDb == 0.0 && lowerDb == 0.0) {
        return 1.0;
    }
    const double along = k < loop.start  ? 0.0
                         : k >= loop.end ? 1.0
                                         : static_cast<double>(k - loop.start) / static_cast<double>(loop.size());
    return std::pow(10.0, (lowerDb + flattenDb * along) / 20.0);
}

namespace {

class SustainedSound : public LoopSource {
public:
    SustainedSound(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                   const SustainLoop& loop)
        : left_(left), right_(right), channels_(static_cast<std::size_t>(channelCount)), loop_(loop) {}

    std::uint64_t frames() const override { return left_.size(); }
    std::size_t channels() const override { return channels_; }
    void fill(std::uint64_t first, std::size_t count, double* out) const override {
        const std::size_t blendFrom = loop_.loop.end - loop_.crossfadeFrames();
        for (std::size_t i = 0; i < count; ++i) {
            const auto k = static_cast<std::size_t>(first) + i;
            const bool blended = loop_.crossfadeFrames() > 0 && k >= blendFrom && k < loop_.loop.end;
            const double gain = loop_.gainAt(k);
            out[i * channels_] = blended ? loop_.blendedLeft[k - blendFrom] : left_[k] * gain;
            if (channels_ > 1) {
                out[i * channels_ + 1] = blended ? loop_.blendedRight[k - blendFrom] : right_[k] * gain;
            }
        }
    }

private:
    const ChannelBuffer& left_;
    const ChannelBuffer& right_;
    std::size_t channels_;
    const SustainLoop& loop_;
};

} // namespace

std::unique_ptr<LoopSource> sustainedSound(const ChannelBuffer& left, const ChannelBuffer& right,
                                           std::int32_t channelCount, const SustainLoop& loop) {
    return std::make_unique<SustainedSound>(left, right, channelCount, loop);
}

} // namespace sorvane
