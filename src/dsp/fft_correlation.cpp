#include "dsp/fft_correlation.hpp"

#include <algorithm>
#include <complex>
#include <memory>
#include <mutex>
#include <new>

#include <fftw3.h>

namespace sorvane {

namespace {

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};
// Only FFTW's transforms may run on several threads at once; its planner
// and the plans' destruction share tables and take turns.
std::mutex plannerMutex;

struct PlanDestroy {
    void operator()(fftw_plan p) const {
        const std::lock_guard<std::mutex> lock(plannerMutex);
        fftw_destroy_plan(p);
    }
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

// One real transform size with its buffer and its two plans: a signal goes
// in zero-padded, a spectrum comes back out as its first lags. The transforms
// work in place, the spectrum over the samples, so that a long signal needs
// one buffer of its padded length.
class RealTransform {
public:
    explicit RealTransform(std::size_t atLeast)
        : size_(transformSize(atLeast)), bins_(size_ / 2 + 1), buffer_(fftwArray<fftw_complex>(bins_)),
          time_(reinterpret_cast<double*>(buffer_.get())), forward_(plan(true)), inverse_(plan(false)) {
        if (!forward_ || !inverse_) {
            throw std::bad_alloc();
        }
    }

    std::size_t bins() const { return bins_; }
    fftw_complex* spectrum() { return buffer_.get(); }

    // The spectrum of `count` samples, zero-padded to the transform's size.
    void forward(const double* samples, std::size_t count) {
        std::copy(samples, samples + count, time_);
        std::fill(time_ + count, time_ + 2 * bins_, 0.0);
        fftw_execute(forward_.get());
    }

    // Lags 0 .. maxLag of the signal whose spectrum is in spectrum().
    std::vector<double> inverse(std::size_t maxLag) {
        fftw_execute(inverse_.get());
        std::vector<double> lags(maxLag + 1, 0.0);
        const double scale = 1.0 / static_cast<double>(size_);
        for (std::size_t lag = 0; lag <= maxLag && lag < size_; ++lag) {
            lags[lag] = time_[lag] * scale;
        }
        return lags;
    }

private:
    // FFTW aborts the whole process when its planner finds no memory for
    // its tables (their sum runs to several times the transform's size): the room is tried first,
    // so that a sound too long for the machine fails as any other
    // allocation does, with a message rather than a crash.
    Plan plan(bool forward) {
        void* room = ::operator new(8 * size_ * sizeof(double));
        [[maybe_unused]] static void* volatile tried;
        tried = room; // so that the compiler cannot drop the allocation
        ::operator delete(room);
        const std::lock_guard<std::mutex> lock(plannerMutex);
        return Plan(forward ? fftw_plan_dft_r2c_1d(static_cast<int>(size_), time_, buffer_.get(), FFTW_ESTIMATE)
                            : fftw_plan_dft_c2r_1d(static_cast<int>(size_), buffer_.get(), time_, FFTW_ESTIMATE));
    }

    std::size_t size_;
    std::size_t bins_;
    std::unique_ptr<fftw_complex[], FftwFree> buffer_;
    double* time_; // the same buffer, as samples
    Plan forward_;
    Plan inverse_;
};

} // namespace

std::vector<double> crossCorrelation(const double* a, std::size_t aSize, const double* b, std::size_t bSize,
                                     std::size_t maxLag) {
    if (aSize == 0 || bSize == 0) {
        return std::vector<double>(maxLag + 1, 0.0);
    }
    // Zero padding to aSize + bSize keeps the circular correlation from
    // wrapping around at any lag.
    RealTransform transform(aSize + bSize);
    transform.forward(a, aSize);
    std::vector<std::complex<double>> first(transform.bins());
    for (std::size_t k = 0; k < first.size(); ++k) {
        first[k] = {transform.spectrum()[k][0], transform.spectrum()[k][1]};
    }
    transform.forward(b, bSize);
    for (std::size_t k = 0; k < first.size(); ++k) {
        fftw_complex& bin = transform.spectrum()[k];
        const std::complex<double> product = std::conj(first[k]) * std::complex<double>(bin[0], bin[1]);
        bin[0] = product.real();
        bin[1] = product.imag();
    }
    return transform.inverse(maxLag);
}

std::vector<double> autocorrelationSum(const std::vector<const double*>& signals, std::size_t size,
                                       std::size_t maxLag) {
    if (size == 0 || signals.empty()) {
        return std::vector<double>(maxLag + 1, 0.0);
    }
    // Each signal's power spectrum is added up in a real array of half the
    // transform, and one transform's buffers are all there is besides: the
    // memory is three times the signal's length in doubles, not six.
    std::vector<double> power;
    {
        RealTransform transform(2 * size);
        power.assign(transform.bins(), 0.0);
        for (const double* x : signals) {
            transform.forward(x, size);
            for (std::size_t k = 0; k < power.size(); ++k) {
                const fftw_complex& bin = transform.spectrum()[k];
                power[k] += bin[0] * bin[0] + bin[1] * bin[1];
            }
        }
        for (std::size_t k = 0; k < power.size(); ++k) {
            transform.spectrum()[k][0] = power[k];
            transform.spectrum()[k][1] = 0.0;
        }
        power.clear();
        power.shrink_to_fit();
        return transform.inverse(maxLag);
    }
}

} // namespace sorvane
