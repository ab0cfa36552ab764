#pragma once

#include <cstddef>
#include <vector>

namespace sorvane {

// r[lag] = sum over t of a[t] * b[t + lag], for lag = 0 .. maxLag, where b
// counts as zero past its end. Computed through FFTW, so that correlating a
// whole sustain at every lag costs a few transforms rather than its square.
std::vector<double> crossCorrelation(const double* a, std::size_t aSize, const double* b, std::size_t bSize,
                                     std::size_t maxLag);

// The sum over `signals` (each `size` samples) of their autocorrelations,
// r[lag] = sum over t of x[t] * x[t + lag], for lag = 0 .. maxLag: one
// forward transform per signal and one inverse for them all.
std::vector<double> autocorrelationSum(const std::vector<const double*>& signals, std::size_t size,
                                       std::size_t maxLag);

} // namespace sorvane
