#include "seam/seam_judge.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <set>
#include <utility>
#include <stdexcept>

#include "dsp/fft_correlation.hpp"

namespace sorvane {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Order of the predictor: enough for a note with a dozen strong partials,
// few enough to fit on 20 ms without modelling the noise.
constexpr std::size_t kPredictorOrder = 16;

// 1.4826 times the median absolute deviation estimates a standard deviation
// without being pulled up by the odd large error.
constexpr double kMadToSigma = 1.4826;

// A loop played end to end (index 0 is its first frame, -1 its last, any
// index wrapping around), of which only the windows fetched are held: what
// the rules read lies within a few tens of milliseconds of the wrap and at a
// few places before it, however long the loop.
class PlayedFrames {
public:
    using Window = std::pair<std::ptrdiff_t, std::size_t>; // first frame, count

    explicit PlayedFrames(const LoopSource& source)
        : source_(source), channels_(source.channels()), size_(static_cast<std::ptrdiff_t>(source.frames())) {}

    std::size_t size() const { return static_cast<std::size_t>(size_); }

    // Makes the frames of `windows` readable, reading the source once, from
    // its start towards its end: a file whose decoder cannot seek to the
    // frame is then read in one pass.
    void fetch(const std::vector<Window>& windows) {
        std::vector<std::pair<std::size_t, std::size_t>> spans; // [first, last) in the loop
        for (const auto& [first, count] : windows) {
            if (static_cast<std::ptrdiff_t>(count) >= size_) {
                spans.emplace_back(0, size());
                continue;
            }
            const auto at = static_cast<std::size_t>(wrapped(first));
            const std::size_t end = at + count;
            spans.emplace_back(at, std::min(end, size()));
            if (end > size()) {
                spans.emplace_back(0, end - size());
            }
        }
        std::sort(spans.begin(), spans.end());
        for (std::size_t i = 0; i < spans.size(); ++i) {
            Range range{spans[i].first, {}};
            std::size_t last = spans[i].second;
            while (i + 1 < spans.size() && spans[i + 1].first <= last) {
                last = std::max(last, spans[++i].second);
            }
            range.samples.resize((last - range.first) * channels_);
            source_.fill(range.first, last - range.first, range.samples.data());
            ranges_.push_back(std::move(range));
        }
    }

    double at(std::size_t channel, std::ptrdiff_t i) const {
        const auto frame = static_cast<std::size_t>(wrapped(i));
        if (hit_ < ranges_.size() && contains(ranges_[hit_], frame)) {
            return sampleOf(ranges_[hit_], frame, channel);
        }
        for (std::size_t r = 0; r < ranges_.size(); ++r) {
            if (contains(ranges_[r], frame)) {
                hit_ = r;
                return sampleOf(ranges_[r], frame, channel);
            }
        }
        throw std::logic_error("a frame of the loop was read before it was fetched");
    }

private:
    struct Range {
        std::size_t first; // frames [first, first + samples / channels), interleaved
        std::vector<double> samples;
    };

    bool contains(const Range& r, std::size_t frame) const {
        return frame >= r.first && (frame - r.first) * channels_ < r.samples.size();
    }
    double sampleOf(const Range& r, std::size_t frame, std::size_t channel) const {
        return r.samples[(frame - r.first) * channels_ + channel];
    }
    std::ptrdiff_t wrapped(std::ptrdiff_t i) const { return ((i % size_) + size_) % size_; }

    const LoopSource& source_;
    std::size_t channels_;
    std::ptrdiff_t size_;
    std::vector<Range> ranges_;
    mutable std::size_t hit_ = 0; // the range the last read found its frame in
};

// One channel of a loop played end to end.
class PlayedLoop {
public:
    PlayedLoop(const PlayedFrames& frames, std::size_t channel) : frames_(frames), channel_(channel) {}
    std::size_t size() const { return frames_.size(); }
    double operator()(std::ptrdiff_t i) const { return frames_.at(channel_, i); }

private:
    const PlayedFrames& frames_;
    std::size_t channel_;
};

// Frames in `ms` milliseconds, at least one.
std::size_t framesIn(double ms, int sampleRate) {
    return std::max<std::size_t>(1, static_cast<std::size_t>(ms * static_cast<double>(sampleRate) / 1000.0));
}

// Middle value by nearest rank; reorders `values`, which must not be empty.
double median(std::vector<double>& values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

double ratioOf(double value, double reference) {
    if (reference > 0.0) {
        return value / reference;
    }
    return value > 0.0 ? kInfinity : 0.0;
}

// Burg's method: the prediction-error filter a[0..order] (a[0] = 1) of the
// least forward and backward error over `x`. Unlike the autocorrelation
// method it needs no window, so it fits short stretches of a tone well, and
// its filters are always stable.
std::vector<double> burgFilter(const std::vector<double>& x, std::size_t order) {
    std::vector<double> a{1.0};
    std::vector<double> forward = x;
    std::vector<double> backward = x;
    for (std::size_t m = 0; m < order; ++m) {
        double numerator = 0.0;
        double denominator = 0.0;
        for (std::size_t t = m + 1; t < x.size(); ++t) {
            numerator += forward[t] * backward[t - 1];
            denominator += forward[t] * forward[t] + backward[t - 1] * backward[t - 1];
        }
        if (!(denominator > 0.0)) {
            break; // nothing left to predict: digital silence or a perfect fit
        }
        const double k = -2.0 * numerator / denominator;
        std::vector<double> next(m + 2, 0.0);
        for (std::size_t i = 0; i <= m + 1; ++i) {
            const double own = i <= m ? a[i] : 0.0;
            const double mirrored = m + 1 - i <= m ? a[m + 1 - i] : 0.0;
            next[i] = own + k * mirrored;
        }
        a = std::move(next);
        for (std::size_t t = x.size() - 1; t > m; --t) {
            const double f = forward[t];
            const double b = backward[t - 1];
            forward[t] = f + k * b;
            backward[t] = b + k * f;
        }
    }
    return a;
}

// The error of predicting played frame `i` from the frames before it.
double predictionErrorAt(const PlayedLoop& loop, const std::vector<double>& a, std::ptrdiff_t i) {
    double error = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) {
        error += a[k] * loop(i - static_cast<std::ptrdiff_t>(k));
    }
    return error;
}

void judgePrediction(const PlayedLoop& loop, int sampleRate, ChannelJudgement& judgement) {
    const std::size_t context = framesIn(20.0, sampleRate);
    const std::size_t order = std::min(kPredictorOrder, context / 4);
    if (order == 0) {
        return; // too short to model
    }
    std::vector<double> end(context);
    for (std::size_t t = 0; t < context; ++t) {
        end[t] = loop(static_cast<std::ptrdiff_t>(t) - static_cast<std::ptrdiff_t>(context));
    }
    const std::vector<double> a = burgFilter(end, order);
    std::vector<double> errors;
    for (std::size_t t = a.size() - 1; t < context; ++t) {
        errors.push_back(predictionErrorAt(loop, a, static_cast<std::ptrdiff_t>(t) - static_cast<std::ptrdiff_t>(context)));
    }
    const double centre = median(errors);
    for (double& e : errors) {
        e = std::fabs(e - centre);
    }
    const double spread = kMadToSigma * median(errors);
    // Only the first frame after the wrap: the errors after it answer the
    // predictor's own ringing on the break, which grows with how sharply it
    // models the tone rather than with the break.
    double largest = std::fabs(predictionErrorAt(loop, a, 0));
    largest = std::isnan(largest) ? kInfinity : largest;
    judgement.predictionError = largest;
    judgement.surprise = ratioOf(largest, spread);
    judgement.predictionFired = judgement.surprise > kSurpriseLimit && largest > kAudibleBreak;
}

// RMS of played(k) - played(k - period) over `count` frames from `first`.
double periodDistance(const PlayedLoop& loop, std::ptrdiff_t first, std::ptrdiff_t count, std::ptrdiff_t period) {
    double sum = 0.0;
    for (std::ptrdiff_t k = first; k < first + count; ++k) {
        const double d = loop(k) - loop(k - period);
        sum += d * d;
    }
    return std::sqrt(sum / static_cast<double>(count));
}

// A long-term predictor beside the short one: the short predictor models a
// few milliseconds and misses a cut that lands on a likely value at the wrong
// point of the cycle; the period does not. First the period of the loop's
// end, if it has one.
struct PeriodSearch {
    std::ptrdiff_t period = 0;
    std::ptrdiff_t span = 0; // compared after the wrap
    std::ptrdiff_t step = 0; // between the places it is compared with
    double level = 0.0;      // RMS of the end
};

// Energy below this share of the whole is rounding, not sound.
constexpr double kNegligibleEnergy = 1e-12;

std::optional<PeriodSearch> findPeriod(const PlayedLoop& loop, int sampleRate) {
    const auto n = static_cast<std::ptrdiff_t>(loop.size());
    const auto compared = static_cast<std::ptrdiff_t>(std::max<std::size_t>(8, framesIn(10.0, sampleRate)));
    // Periods of 50 Hz to 1.5 kHz, with two of them inside the loop's back half.
    const auto shortest = static_cast<std::ptrdiff_t>(std::max(2, sampleRate / 1500));
    const auto longest = std::min<std::ptrdiff_t>(sampleRate / 50, n / 2 - compared);
    // The frames the search reads, copied once, and every lag's product at
    // once through FFTW: lag by lag and through the wrap's modulo the search
    // cost the number of lags times the frames compared, for each candidate
    // loop the sustain finder judges.
    const std::ptrdiff_t reach = compared + std::max<std::ptrdiff_t>(longest, 0);
    std::vector<double> frames(static_cast<std::size_t>(reach));
    for (std::ptrdiff_t k = 0; k < reach; ++k) {
        frames[static_cast<std::size_t>(k)] = loop(k - reach);
    }
    const double* end = frames.data() + reach; // end[k] is loop(k) for -reach <= k < 0
    double endEnergy = 0.0;
    for (std::ptrdiff_t k = -compared; k < 0; ++k) {
        endEnergy += end[k] * end[k];
    }
    double periodicity = 0.0;
    std::ptrdiff_t period = 0;
    if (longest >= shortest) {
        // products[longest - lag] pairs the end with the stretch `lag` frames
        // before it, which starts `longest - lag` frames into the copy.
        const std::vector<double> products =
            crossCorrelation(end - compared, static_cast<std::size_t>(compared), frames.data(), frames.size(),
                             static_cast<std::size_t>(longest - shortest));
        std::vector<double> upTo(frames.size() + 1, 0.0);
        for (std::size_t k = 0; k < frames.size(); ++k) {
            upTo[k + 1] = upTo[k] + frames[k] * frames[k];
        }
        const double total = upTo.back();
        for (std::ptrdiff_t lag = shortest; lag <= longest; ++lag) {
            const auto shift = static_cast<std::size_t>(longest - lag);
            const double product = products[shift];
            const double lagEnergy = upTo[shift + static_cast<std::size_t>(compared)] - upTo[shift];
            // A stretch with next to nothing in it (within the rounding of
            // the whole) has no period to show.
            const double correlation =
                std::min(endEnergy, lagEnergy) > kNegligibleEnergy * total ? product / std::sqrt(endEnergy * lagEnergy)
                                                                           : 0.0;
            if (correlation > periodicity) {
                periodicity = correlation;
                period = lag;
            }
        }
    }
    if (!(periodicity >= kPeriodicityLimit)) {
        return std::nullopt; // no period to hold the wrap to
    }
    // Up to 5 ms after the wrap, against the same span at eight places in
    // the loop's back half: how much the sound itself drifts in a period.
    PeriodSearch found;
    found.period = period;
    found.span = std::min(period, std::max<std::ptrdiff_t>(4, sampleRate / 200));
    found.step = std::max<std::ptrdiff_t>(1, (n / 2 - found.span - period) / 10);
    found.level = std::sqrt(endEnergy / static_cast<double>(compared));
    return found;
}

constexpr std::ptrdiff_t kPlacesCompared = 8;

// The frames each place compared with the wrap reads.
void addReferenceWindows(const PeriodSearch& p, std::vector<PlayedFrames::Window>& windows) {
    for (std::ptrdiff_t j = 1; j <= kPlacesCompared; ++j) {
        windows.emplace_back(-j * p.step - p.span - p.period, static_cast<std::size_t>(p.span + p.period));
    }
}

void judgePeriod(const PlayedLoop& loop, const PeriodSearch& p, ChannelJudgement& judgement) {
    std::vector<double> elsewhere;
    for (std::ptrdiff_t j = 1; j <= kPlacesCompared; ++j) {
        elsewhere.push_back(periodDistance(loop, -j * p.step - p.span, p.span, p.period));
    }
    const double atWrap = periodDistance(loop, 0, p.span, p.period);
    judgement.periodRatio = ratioOf(atWrap, median(elsewhere));
    judgement.periodMismatch = ratioOf(atWrap, p.level);
    judgement.periodFired = judgement.periodRatio > kPeriodRatioLimit &&
                            judgement.periodMismatch > kPeriodMismatchLimit && atWrap > kAudibleBreak;
}

void judgeCurvature(const PlayedLoop& loop, int sampleRate, ChannelJudgement& judgement) {
    auto curvature = [&](std::ptrdiff_t i) { return std::fabs(loop(i + 1) - 2.0 * loop(i) + loop(i - 1)); };
    const double atWrap = std::max(curvature(-1), curvature(0));
    judgement.curvatureAtWrap = std::isnan(atWrap) ? kInfinity : atWrap;
    const auto span = static_cast<std::ptrdiff_t>(framesIn(10.0, sampleRate));
    std::vector<double> near;
    for (std::ptrdiff_t i = 2; i <= span; ++i) {
        near.push_back(curvature(-i));
        near.push_back(curvature(i - 1));
    }
    if (near.empty()) {
        return;
    }
    // Against the largest curvatures nearby, not the typical one: a sawtooth
    // or a reed has kinks of its own every cycle, and the wrap is out of place
    // only when it bends harder than the sound itself does.
    const auto top = near.begin() + static_cast<std::ptrdiff_t>((near.size() * 99) / 100);
    std::nth_element(near.begin(), top, near.end());
    judgement.curvatureRatio = ratioOf(judgement.curvatureAtWrap, *top);
    judgement.curvatureFired =
        judgement.curvatureRatio > kCurvatureLimit && judgement.curvatureAtWrap > kAudibleBreak;
}

void judgeLevel(const PlayedLoop& loop, int sampleRate, ChannelJudgement& judgement) {
    const std::size_t window = framesIn(20.0, sampleRate);
    double before = 0.0;
    double after = 0.0;
    for (std::size_t k = 0; k < window; ++k) {
        const double end = loop(-1 - static_cast<std::ptrdiff_t>(k));
        const double start = loop(static_cast<std::ptrdiff_t>(k));
        before += end * end;
        after += start * start;
    }
    before = std::sqrt(before / static_cast<double>(window));
    after = std::sqrt(after / static_cast<double>(window));
    judgement.levelChangeDb = before > 0.0 && after > 0.0 ? 20.0 * std::log10(after / before)
                              : after > 0.0               ? kInfinity
                              : before > 0.0              ? -kInfinity
                                                          : 0.0;
    judgement.levelFired = std::fabs(judgement.levelChangeDb) > kLevelLimitDb &&
                           std::max(before, after) > kAudibleBreak;
}

constexpr double kExactPeriodRatio = 10.0;
constexpr double kExactPeriodMismatch = 0.2;

// A loop shorter than the windows above repeats more often than they are
// long: read across the wrap, they would hold its wrap again and again, and
// learn it as part of the sound. Its wrap is held instead to the loop's own
// inside, the frames between its first and its last, which it never
// crosses: a loop of whole periods wraps as its inside runs, one period of a
// tone included, and a cut mid-cycle bends, steps or breaks its period as
// nothing inside does. The level rule does not apply.
struct LoopInside {
    LoopInside(const PlayedLoop& played, std::ptrdiff_t size) : loop(played), n(size) {
        // Copied once: the period search reads each frame hundreds of times,
        // and through the wrap's modulo that cost seconds a loop.
        frames.resize(static_cast<std::size_t>(n));
        for (std::ptrdiff_t k = 0; k < n; ++k) {
            frames[static_cast<std::size_t>(k)] = loop(k);
        }
    }
    const PlayedLoop& loop;
    std::ptrdiff_t n;
    std::vector<double> frames;
    double at(std::ptrdiff_t i) const {
        return i >= 0 && i < n ? frames[static_cast<std::size_t>(i)] : loop(i);
    }
};

void judgeShortCurvature(const LoopInside& x, ChannelJudgement& judgement) {
    auto curvature = [&](std::ptrdiff_t i) { return std::fabs(x.at(i + 1) - 2.0 * x.at(i) + x.at(i - 1)); };
    const double atWrap = std::max(curvature(-1), curvature(0));
    judgement.curvatureAtWrap = std::isnan(atWrap) ? kInfinity : atWrap;
    // The sharpest bend inside: with so few frames the largest, not a percentile.
    double inside = 0.0;
    for (std::ptrdiff_t i = 1; i + 1 < x.n; ++i) {
        inside = std::max(inside, curvature(i));
    }
    judgement.curvatureRatio = ratioOf(judgement.curvatureAtWrap, inside);
    judgement.curvatureFired =
        judgement.curvatureRatio > kCurvatureLimit && judgement.curvatureAtWrap > kAudibleBreak;
}

// The period the inside repeats at, where it holds two of them, and whether
// the wrap keeps to it.
void judgeShortPeriod(const LoopInside& x, int sampleRate, ChannelJudgement& judgement) {
    const std::ptrdiff_t n = x.n;
    const auto shortest = static_cast<std::ptrdiff_t>(std::max(2, sampleRate / 4000));
    double periodicity = 0.0;
    std::ptrdiff_t period = 0;
    // The energies of the two stretches compared at each lag, from running
    // sums of squares (each term positive, so nothing cancels).
    std::vector<double> upTo(static_cast<std::size_t>(n) + 1, 0.0);
    std::vector<double> from(static_cast<std::size_t>(n) + 1, 0.0);
    for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++k) {
        upTo[k + 1] = upTo[k] + x.frames[k] * x.frames[k];
        const std::size_t back = static_cast<std::size_t>(n) - 1 - k;
        from[back] = from[back + 1] + x.frames[back] * x.frames[back];
    }
    // Every lag's product at once through FFTW: directly it cost the square
    // of the loop's length, seconds for a 40 ms loop at 192 kHz.
    const std::vector<double> products =
        autocorrelationSum({x.frames.data()}, static_cast<std::size_t>(n), static_cast<std::size_t>(n / 2));
    const double total = upTo.back();
    for (std::ptrdiff_t lag = shortest; 2 * lag <= n; ++lag) {
        const double product = products[static_cast<std::size_t>(lag)];
        const double head = upTo[static_cast<std::size_t>(n - lag)];
        const double tail = from[static_cast<std::size_t>(lag)];
        // A stretch with next to nothing in it (within the transform's
        // rounding of the whole) has no period to show.
        const double correlation =
            std::min(head, tail) > kNegligibleEnergy * total ? product / std::sqrt(head * tail) : 0.0;
        if (correlation > periodicity) {
            periodicity = correlation;
            period = lag;
        }
    }
    if (!(periodicity >= kPeriodicityLimit)) {
        return;
    }
    const std::ptrdiff_t span = std::min({period, n - period, std::max<std::ptrdiff_t>(4, sampleRate / 200)});
    std::vector<double> elsewhere;
    for (std::ptrdiff_t j = 0; j < kPlacesCompared; ++j) {
        const std::ptrdiff_t first = period + j * (n - period - span) / std::max<std::ptrdiff_t>(1, kPlacesCompared - 1);
        elsewhere.push_back(periodDistance(x.loop, first, span, period));
    }
    double energy = 0.0;
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        energy += x.at(k) * x.at(k);
    }
    const double atWrap = periodDistance(x.loop, 0, span, period);
    judgement.periodRatio = ratioOf(atWrap, median(elsewhere));
    judgement.periodMismatch = ratioOf(atWrap, std::sqrt(energy / static_cast<double>(n)));
    // A loop that repeats so exactly inside breaks audibly at a smaller
    // mismatch: ten times its own drift, and a fifth of its level.
    const bool exact = judgement.periodRatio > kExactPeriodRatio && judgement.periodMismatch > kExactPeriodMismatch;
    judgement.periodFired = (exact || (judgement.periodRatio > kPeriodRatioLimit &&
                                       judgement.periodMismatch > kPeriodMismatchLimit)) &&
                            atWrap > kAudibleBreak;
}

// The first frame after the wrap predicted from the loop's last frames, by a
// predictor fitted to the inside, against its errors there.
void judgeShortPrediction(const LoopInside& x, ChannelJudgement& judgement) {
    const auto order = static_cast<std::size_t>(std::min<std::ptrdiff_t>(kPredictorOrder, x.n / 8));
    if (order == 0) {
        return;
    }
    const std::vector<double> a = burgFilter(x.frames, order);
    std::vector<double> errors;
    for (std::ptrdiff_t t = static_cast<std::ptrdiff_t>(a.size()) - 1; t < x.n; ++t) {
        errors.push_back(predictionErrorAt(x.loop, a, t));
    }
    const double centre = median(errors);
    for (double& e : errors) {
        e = std::fabs(e - centre);
    }
    const double spread = kMadToSigma * median(errors);
    double largest = std::fabs(predictionErrorAt(x.loop, a, 0));
    largest = std::isnan(largest) ? kInfinity : largest;
    judgement.predictionError = largest;
    judgement.surprise = ratioOf(largest, spread);
    judgement.predictionFired = judgement.surprise > kSurpriseLimit && largest > kAudibleBreak;
}

void judgeShortLoop(const PlayedLoop& loop, int sampleRate, ChannelJudgement& judgement) {
    const LoopInside inside{loop, static_cast<std::ptrdiff_t>(loop.size())};
    judgeShortPrediction(inside, judgement);
    judgeShortPeriod(inside, sampleRate, judgement);
    judgeShortCurvature(inside, judgement);
    // No level: repeated 25 times a second or more, a loop louder in one
    // part than another is heard as the timbre of a tone, not a re-attack.
    judgement.levelChangeDb = std::numeric_limits<double>::quiet_NaN();
}

} // namespace

std::size_t shortestJudgedLoop(int sampleRate) { return 2 * framesIn(20.0, sampleRate); }

namespace {

SeamJudgement withVerdict(SeamJudgement judgement) {
    const auto any = [&](auto rule) { return std::any_of(judgement.channels.begin(), judgement.channels.end(), rule); };
    // A jump in level says more than the click that comes with it: the loop
    // re-attacks (or drops out) every cycle, and the mend is another stretch.
    if (any([](const ChannelJudgement& c) { return c.levelFired; })) {
        judgement.verdict = SeamVerdict::LevelJump;
    } else if (any([](const ChannelJudgement& c) { return c.clicks(); })) {
        judgement.verdict = SeamVerdict::LikelyClick;
    }
    return judgement;
}

} // namespace

SeamJudgement judgeSeam(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                        int sampleRate) {
    return judgeSeam(*buffersAsLoop(left, right, channelCount), sampleRate);
}

SeamJudgement judgeSeam(const LoopSource& source, int sampleRate) {
    SeamJudgement judgement;
    judgement.channels.resize(source.channels());
    PlayedFrames frames(source);
    if (frames.size() < kFewestJudgedFrames) {
        judgement.verdict = SeamVerdict::NotJudged;
        return judgement;
    }
    if (frames.size() < shortestJudgedLoop(sampleRate)) {
        frames.fetch({{0, frames.size()}});
        for (std::size_t c = 0; c < judgement.channels.size(); ++c) {
            judgeShortLoop(PlayedLoop(frames, c), sampleRate, judgement.channels[c]);
        }
        return withVerdict(judgement);
    }
    // Around the wrap: the predictor's context and order, the period search
    // (10 ms against lags up to 20 ms) and the level's 20 ms before it; the
    // level's 20 ms and the curvature's 10 ms after it.
    const std::size_t before = framesIn(30.0, sampleRate) + kPredictorOrder + 2;
    const std::size_t after = framesIn(20.0, sampleRate) + 2;
    frames.fetch({{-static_cast<std::ptrdiff_t>(before), before + after}});
    std::vector<std::optional<PeriodSearch>> periods;
    std::vector<PlayedFrames::Window> references;
    for (std::size_t c = 0; c < judgement.channels.size(); ++c) {
        const PlayedLoop loop(frames, c);
        judgePrediction(loop, sampleRate, judgement.channels[c]);
        judgeCurvature(loop, sampleRate, judgement.channels[c]);
        judgeLevel(loop, sampleRate, judgement.channels[c]);
        periods.push_back(findPeriod(loop, sampleRate));
        if (periods.back()) {
            addReferenceWindows(*periods.back(), references);
        }
    }
    frames.fetch(references);
    for (std::size_t c = 0; c < judgement.channels.size(); ++c) {
        if (periods[c]) {
            judgePeriod(PlayedLoop(frames, c), *periods[c], judgement.channels[c]);
        }
    }
    return withVerdict(judgement);
}

bool isSmoothWithMargin(const SeamJudgement& judgement) {
    // Two thirds of each limit: for the curvature that is a seam that bends
    // no harder than the sound's own sharpest bends nearby.
    constexpr double kMargin = 2.0 / 3.0;
    return judgement.verdict == SeamVerdict::Smooth &&
           std::all_of(judgement.channels.begin(), judgement.channels.end(), [](const ChannelJudgement& c) {
               return (c.surprise <= kMargin * kSurpriseLimit || c.predictionError <= kAudibleBreak) &&
                      (c.periodRatio <= kMargin * kPeriodRatioLimit ||
                       c.periodMismatch <= kMargin * kPeriodMismatchLimit) &&
                      (c.curvatureRatio <= kMargin * kCurvatureLimit || c.curvatureAtWrap <= kAudibleBreak) &&
                      !(std::fabs(c.levelChangeDb) > kMargin * kLevelLimitDb);
           });
}

std::vector<const char*> firedRules(const ChannelJudgement& judgement) {
    std::vector<const char*> rules;
    for (const auto& [fired, name] : {std::pair{judgement.predictionFired, "prediction"},
                                      std::pair{judgement.periodFired, "period"},
                                      std::pair{judgement.curvatureFired, "curvature"},
                                      std::pair{judgement.levelFired, "level"}}) {
        if (fired) {
            rules.push_back(name);
        }
    }
    return rules;
}

std::vector<std::string> firedRules(const SeamJudgement& judgement) {
    std::set<std::string> rules;
    for (const ChannelJudgement& channel : judgement.channels) {
        for (const char* rule : firedRules(channel)) {
            rules.insert(rule);
        }
    }
    return {rules.begin(), rules.end()};
}

const char* channelName(std::size_t channel, std::size_t channels) {
    return channels == 1 ? "mono" : channel == 0 ? "left" : "right";
}

const char* verdictText(SeamVerdict verdict) {
    switch (verdict) {
    case SeamVerdict::LikelyClick: return "likely click";
    case SeamVerdict::LevelJump: return "level jump";
    case SeamVerdict::NotJudged: return "not judged";
    case SeamVerdict::Smooth: break;
    }
    return "smooth";
}

} // namespace sorvane
