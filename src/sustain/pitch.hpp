#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sorvane {

struct PitchEstimate {
    bool pitched = false;
    double period = 0.0; // in frames, with a fraction
    // The normalised difference at that period: 0 for a perfectly periodic
    // sound, near 1 for noise.
    double aperiodicity = 1.0;
};

// The fundamental of the channels (each `size` samples) by the YIN method
// (difference function, cumulative mean normalisation, first dip below a
// threshold, parabolic refinement), for fundamentals of 30 Hz to 4 kHz. The
// channels' differences are summed rather than the channels mixed: two
// microphones half a period apart would cancel the fundamental in a mix.
PitchEstimate estimatePitch(const std::vector<const double*>& channels, std::size_t size, int sampleRate);

// Near the top of the range a period spans a few frames and may dip at no
// whole lag, so that the estimate is two or three periods: the shortest
// whole part of `period` at whose every multiple the autocorrelation `acf`
// peaks as high as at `period` itself, else `period`.
double fundamentalPeriod(const std::vector<double>& acf, double period, int sampleRate);

// Sharpens a period estimate against the autocorrelation `acf` of a long
// stretch (acf[lag], normalised): the peak near a many-period lag pins the
// average period down far better than one period can.
double refinePeriod(const std::vector<double>& acf, double period);

// The MIDI note of a fundamental (69 = A 440 Hz), with a fraction.
double midiNoteOf(double frequency);

// A MIDI note's name, middle C (60) being C4: "C#4", "C-1".
std::string noteNameOf(int note);

} // namespace sorvane
