#include "sustain/pitch.hpp"

#include <algorithm>
#include <cmath>

#include "dsp/fft_correlation.hpp"

namespace sorvane {

namespace {

constexpr double kLowestHz = 30.0;
constexpr double kHighestHz = 4000.0;
constexpr double kDipThreshold = 0.12;
constexpr double kPitchedBelow = 0.3;
constexpr double kRangeSlack = 1.03; // half a semitone
// A waveform that never strays further than this from its mean (about one
// 16-bit step) does not vary at all.
constexpr double kLeastVariation = 1.0 / 32768.0;
// A period of this many frames or more dips at a whole lag near it; a
// shorter one may not, and the first dip found can be two or three periods.
constexpr double kFewestFramesFound = 12.0;
// A part of a period repeats it when the autocorrelation peaks this high at
// each of its multiples as at the period.
constexpr double kDividingShare = 0.9;
// Refinement sharpens the estimate; it never moves it by more than this.
constexpr double kMostRefinement = 0.01;

// The extremum of a parabola through (-1, a), (0, b), (1, c), as an offset
// from the middle point.
double parabolicOffset(double a, double b, double c) {
    const double denominator = a - 2.0 * b + c;
    if (denominator == 0.0) {
        return 0.0;
    }
    return std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5);
}

} // namespace

PitchEstimate estimatePitch(const std::vector<const double*>& channels, std::size_t size, int sampleRate) {
    PitchEstimate estimate;
    // A lag short of the highest fundamental's period too, so that its dip
    // has a neighbour on each side however the period falls between frames.
    // (Below 3 frames a period it is 2: at rates under 4 kHz the subtraction
    // would wrap around.)
    const auto shortest = std::max<std::size_t>(3, static_cast<std::size_t>(sampleRate / kHighestHz)) - 1;
    // And a lag past the lowest's, for the same reason at the bottom.
    auto longest = static_cast<std::size_t>(kRangeSlack * sampleRate / kLowestHz) + 2;
    // The difference is averaged over at least two of the longest periods.
    std::size_t window = std::max<std::size_t>(2 * longest, static_cast<std::size_t>(sampleRate / 10));
    if (size < window + longest) {
        window = size / 2;
        longest = std::min(longest, size - window);
    }
    if (longest <= shortest + 2) {
        return estimate;
    }
    // d(lag) = sum (x[j] - x[j + lag])^2 over the window, from energies and
    // the correlation, summed over the channels. A signal that does not vary
    // (a constant, or silence) has no pitch, whatever rounding leaves in d.
    std::vector<double> difference(longest + 1, 0.0);
    double variation = 0.0;
    for (const double* channel : channels) {
        // The stretch less its mean: d does not change, but a large offset
        // would leave its rounding in the sums d is made of.
        const double* from = channel + (size - window - longest) / 2;
        std::vector<double> stretch(from, from + window + longest);
        double mean = 0.0;
        for (const double v : stretch) {
            mean += v;
        }
        mean /= static_cast<double>(stretch.size());
        for (double& v : stretch) {
            v -= mean;
            variation = std::max(variation, std::fabs(v));
        }
        const double* x = stretch.data();
        const std::vector<double> r = crossCorrelation(x, window, x, window + longest, longest);
        double head = 0.0;
        for (std::size_t j = 0; j < window; ++j) {
            head += x[j] * x[j];
        }
        double shifted = head;
        for (std::size_t lag = 1; lag <= longest; ++lag) {
            shifted += x[window + lag - 1] * x[window + lag - 1] - x[lag - 1] * x[lag - 1];
            difference[lag] += std::max(0.0, head + shifted - 2.0 * r[lag]);
        }
    }
    if (!(variation > kLeastVariation)) {
        return estimate;
    }
    std::vector<double> normalised(longest + 1, 1.0);
    double running = 0.0;
    for (std::size_t lag = 1; lag <= longest; ++lag) {
        running += difference[lag];
        normalised[lag] = running > 0.0 ? difference[lag] * static_cast<double>(lag) / running : 1.0;
    }
    std::size_t best = shortest;
    for (std::size_t lag = shortest; lag < longest; ++lag) {
        if (normalised[lag] < normalised[best]) {
            best = lag;
        }
        if (normalised[lag] < kDipThreshold) {
            while (lag + 1 < longest && normalised[lag + 1] < normalised[lag]) {
                ++lag;
            }
            best = lag;
            break;
        }
    }
    estimate.aperiodicity = normalised[best];
    estimate.pitched = normalised[best] < kPitchedBelow && best > shortest && best + 1 < longest;
    estimate.period = static_cast<double>(best);
    if (estimate.pitched) {
        estimate.period += parabolicOffset(normalised[best - 1], normalised[best], normalised[best + 1]);
        // Within the range, or a hair beyond it (a period between frames).
        const double frequency = static_cast<double>(sampleRate) / estimate.period;
        estimate.pitched = frequency <= kHighestHz * kRangeSlack && frequency >= kLowestHz / kRangeSlack;
    }
    return estimate;
}

namespace {

// The highest value of `acf` within `reach` of `lag`, between frames where
// its peak falls between them.
double peakNear(const std::vector<double>& acf, double lag, double reach) {
    const auto low = static_cast<std::size_t>(std::max(1.0, std::ceil(lag - reach)));
    const auto high = std::min(acf.size() - 2, static_cast<std::size_t>(std::floor(lag + reach)));
    if (low > high) {
        return 0.0;
    }
    std::size_t peak = low;
    for (std::size_t k = low; k <= high; ++k) {
        if (acf[k] > acf[peak]) {
            peak = k;
        }
    }
    const double a = acf[peak - 1];
    const double b = acf[peak];
    const double c = acf[peak + 1];
    const double offset = parabolicOffset(a, b, c);
    return b - 0.25 * (a - c) * offset;
}

} // namespace

double fundamentalPeriod(const std::vector<double>& acf, double period, int sampleRate) {
    const double shortestPeriod = static_cast<double>(sampleRate) / (kHighestHz * kRangeSlack);
    const double whole = peakNear(acf, period, 0.25 * period);
    double fundamental = period;
    for (int parts = 2; period / parts >= shortestPeriod; ++parts) {
        const double part = period / parts;
        if (part >= kFewestFramesFound || period + 1.0 >= static_cast<double>(acf.size())) {
            continue;
        }
        bool divides = whole > 0.0;
        for (int j = 1; j < parts && divides; ++j) {
            divides = peakNear(acf, j * part, 0.25 * part) >= kDividingShare * whole;
        }
        if (divides) {
            fundamental = part;
        }
    }
    return fundamental;
}

double refinePeriod(const std::vector<double>& acf, double estimate) {
    double period = estimate;
    // Ever longer lags, each found within half a period of where the last
    // estimate puts it, so that an error never reaches the next peak.
    for (double periods = 4.0;; periods *= 4.0) {
        const double expected = periods * period;
        const double reach = 0.5 * period;
        if (expected + reach + 1.0 >= static_cast<double>(acf.size())) {
            break;
        }
        const auto low = static_cast<std::size_t>(std::max(1.0, std::ceil(expected - reach)));
        const auto high = static_cast<std::size_t>(std::floor(expected + reach));
        std::size_t peak = low;
        for (std::size_t lag = low; lag <= high; ++lag) {
            if (acf[lag] > acf[peak]) {
                peak = lag;
            }
        }
        if (peak == low || peak == high) {
            break; // no peak inside: the sound drifts too much to say more
        }
        const double lag = static_cast<double>(peak) + parabolicOffset(acf[peak - 1], acf[peak], acf[peak + 1]);
        if (std::fabs(lag / periods - estimate) > kMostRefinement * estimate) {
            break; // not the same period: an inharmonic sound, whose peaks wander
        }
        period = lag / periods;
    }
    return period;
}

double midiNoteOf(double frequency) { return 69.0 + 12.0 * std::log2(frequency / 440.0); }

std::string noteNameOf(int note) {
    static const char* const kNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return std::string(kNames[((note % 12) + 12) % 12]) + std::to_string((note - ((note % 12) + 12) % 12) / 12 - 1);
}

} // namespace sorvane
