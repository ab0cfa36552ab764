#include "sustain/fft_correlation.hpp"

#include <algorithm>
#include <complex>
#include <memory>
#include <new>

#include <fftw3.h>

namespace sorvane {

namespace {

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};
struct PlanDestroy {
    void operator()(fftw_plan p) const { fftw_destroy_plan(p); }
};
using Plan = std::unique_ptr<std::remove_pointer_t<fftw_plan>, PlanDestroy>;

template <typename T>
std::unique_ptr<T[], FftwFree> fftwArray(std::size_t count) {
    void* p = fftw_malloc(sizeof(T) * count);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return std::unique_ptr<T[], FftwFree>(static_cast<T*>(p));
}

// The smallest even size of at least `atLeast` with no prime factor above 5:
// FFTW is fast at those, and they come closer than powers of two.
std::size_t transformSize(std::size_t atLeast) {
    for (std::size_t n = std::max<std::size_t>(2, atLeast + (atLeast & 1U));; n += 2) {
        std::size_t rest = n;
        for (const std::size_t factor : {2U, 3U, 5U}) {
            while (rest % factor == 0) {
                rest /= factor;
            }
        }
        if (rest == 1) {
            return n;
        }
    }
}

} // namespace

std::vector<double> crossCorrelation(const double* a, std::size_t aSize, const double* b, std::size_t bSize,
                                     std::size_t maxLag) {
    std::vector<double> result(maxLag + 1, 0.0);
    if (aSize == 0 || bSize == 0) {
        return result;
    }
    // Zero padding to aSize + bSize keeps the circular correlation from
    // wrapping around at any lag.
    const std::size_t n = transformSize(aSize + bSize);
    const std::size_t bins = n / 2 + 1;
    auto time = fftwArray<double>(n);
    auto spectrumA = fftwArray<fftw_complex>(bins);
    auto spectrumB = fftwArray<fftw_complex>(bins);
    const int size = static_cast<int>(n);
    const Plan forwardA(fftw_plan_dft_r2c_1d(size, time.get(), spectrumA.get(), FFTW_ESTIMATE));
    const Plan forwardB(fftw_plan_dft_r2c_1d(size, time.get(), spectrumB.get(), FFTW_ESTIMATE));
    const Plan inverse(fftw_plan_dft_c2r_1d(size, spectrumA.get(), time.get(), FFTW_ESTIMATE));
    if (!forwardA || !forwardB || !inverse) {
        throw std::bad_alloc();
    }

    std::fill(time.get(), time.get() + n, 0.0);
    std::copy(a, a + aSize, time.get());
    fftw_execute(forwardA.get());
    std::fill(time.get(), time.get() + n, 0.0);
    std::copy(b, b + bSize, time.get());
    fftw_execute(forwardB.get());
    for (std::size_t k = 0; k < bins; ++k) {
        const std::complex<double> x(spectrumA[k][0], spectrumA[k][1]);
        const std::complex<double> y(spectrumB[k][0], spectrumB[k][1]);
        const std::complex<double> product = std::conj(x) * y;
        spectrumA[k][0] = product.real();
        spectrumA[k][1] = product.imag();
    }
    fftw_execute(inverse.get());
    const double scale = 1.0 / static_cast<double>(n);
    for (std::size_t lag = 0; lag <= maxLag && lag < n; ++lag) {
        result[lag] = time[lag] * scale;
    }
    return result;
}

std::vector<double> autocorrelationSum(const std::vector<const double*>& signals, std::size_t size,
                                       std::size_t maxLag) {
    std::vector<double> result(maxLag + 1, 0.0);
    if (size == 0 || signals.empty()) {
        return result;
    }
    const std::size_t n = transformSize(2 * size);
    const std::size_t bins = n / 2 + 1;
    auto time = fftwArray<double>(n);
    auto spectrum = fftwArray<fftw_complex>(bins);
    std::vector<double> power(bins, 0.0);
    const int transform = static_cast<int>(n);
    const Plan forward(fftw_plan_dft_r2c_1d(transform, time.get(), spectrum.get(), FFTW_ESTIMATE));
    const Plan inverse(fftw_plan_dft_c2r_1d(transform, spectrum.get(), time.get(), FFTW_ESTIMATE));
    if (!forward || !inverse) {
        throw std::bad_alloc();
    }
    for (const double* x : signals) {
        std::copy(x, x + size, time.get());
        std::fill(time.get() + size, time.get() + n, 0.0);
        fftw_execute(forward.get());
        for (std::size_t k = 0; k < bins; ++k) {
            power[k] += spectrum[k][0] * spectrum[k][0] + spectrum[k][1] * spectrum[k][1];
        }
    }
    for (std::size_t k = 0; k < bins; ++k) {
        spectrum[k][0] = power[k];
        spectrum[k][1] = 0.0;
    }
    fftw_execute(inverse.get());
    const double scale = 1.0 / static_cast<double>(n);
    for (std::size_t lag = 0; lag <= maxLag && lag < n; ++lag) {
        result[lag] = time[lag] * scale;
    }
    return result;
}

} // namespace sorvane
