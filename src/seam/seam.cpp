#include "seam/seam.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iomanip>
#include <limits>
#include <sstream>

namespace sorvane {

namespace {

// Nearest-rank percentile: the smallest value with at least `percent` of the
// values at or below it. Reorders `values`.
double percentile(std::vector<double>& values, double percent) {
    const auto rank = static_cast<std::size_t>(std::ceil(percent / 100.0 * static_cast<double>(values.size())));
    const std::size_t index = rank == 0 ? 0 : rank - 1;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

// |x[i+1] - x[i]| for i in [first, last). NaN would break the ordering the
// percentiles rely on: it counts as the largest step there is.
std::vector<double> stepsOf(const ChannelBuffer& samples, std::size_t first, std::size_t last) {
    std::vector<double> steps;
    steps.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) {
        const double step = std::fabs(samples[i + 1] - samples[i]);
        steps.push_back(std::isnan(step) ? std::numeric_limits<double>::infinity() : step);
    }
    return steps;
}

double relativeDb(double jump, double reference) {
    if (reference > 0.0) {
        return 20.0 * std::log10(jump / reference);
    }
    return jump > 0.0 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
}

ChannelSeam analyseChannel(const ChannelBuffer& samples, std::size_t window) {
    const std::size_t n = samples.size();
    ChannelSeam seam;
    seam.seamStep = samples.front() - samples.back();
    std::vector<double> steps = stepsOf(samples, 0, n - 1);
    seam.percentile99Step = percentile(steps, 99.0);
    seam.medianStep = percentile(steps, 50.0);

    // The steps leading up to the seam and those leading away from it.
    const std::size_t span = std::max<std::size_t>(1, std::min(window, n - 1));
    std::vector<double> before = stepsOf(samples, n - 1 - span, n - 1);
    std::vector<double> after = stepsOf(samples, 0, span);
    seam.nearPercentile99Step = std::min(percentile(before, 99.0), percentile(after, 99.0));

    const double jump = std::fabs(seam.seamStep);
    seam.seamRelativeDb = relativeDb(jump, seam.percentile99Step);
    seam.seamRelativeNearDb = relativeDb(jump, seam.nearPercentile99Step);
    // A click is a jump the waveform does not make by itself where the seam
    // is heard. Nearly every step of a passage is at most its 99th
    // percentile, and for noise-like material steps beyond twice that are
    // rarer than one in a million; a hard cut of a tone at its peak jumps by
    // many times its largest step. Twice the 99th percentile (+6 dB)
    // separates the two with room on both sides. The measure is taken near
    // the seam, on its quieter side, because that is what the jump is heard
    // against: loud passages elsewhere, or a loud attack just after the
    // seam, must not hide a jump out of a quiet tail. Jumps of less than one
    // 16-bit step are inaudible whatever the file does (near-silence).
    seam.likelyClick =
        std::isnan(jump) || (jump > kClickRatio * seam.nearPercentile99Step && jump > kInaudibleStep);
    return seam;
}

// The length of the well-formed UTF-8 sequence at `at` of a character XML
// allows, or 0 when the bytes there are no such thing.
std::size_t xmlCharacterLength(const std::string& text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r' ? 1 : 0;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size()) {
        return 0;
    }
    char32_t code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    const char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid = code >= shortest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF) &&
                       code != 0xFFFE && code != 0xFFFF;
    return valid ? length : 0;
}

// Text as XML may hold it, whatever bytes a file name has: markup escaped,
// and each byte that is no UTF-8, or a character XML forbids (the control
// characters), shown as U+FFFD.
std::string escapeXml(const std::string& text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = xmlCharacterLength(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        switch (text[at]) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out.append(text, at, length);
        }
        at += length;
    }
    return out;
}

} // namespace

std::size_t seamWindowFrames(int sampleRate) { return static_cast<std::size_t>(std::max(1, sampleRate / 100)); }

SeamReport analyseSeam(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                       std::size_t window) {
    SeamReport report;
    report.channels.push_back(analyseChannel(left, window));
    if (channelCount > 1) {
        report.channels.push_back(analyseChannel(right, window));
    }
    report.likelyClick = std::any_of(report.channels.begin(), report.channels.end(),
                                     [](const ChannelSeam& c) { return c.likelyClick; });
    return report;
}

std::string renderSeamSvg(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                          int sampleRate, const std::string& title) {
    const std::size_t n = left.size();
    const std::size_t window = std::min(n, seamWindowFrames(sampleRate));
    const double msPerFrame = 1000.0 / static_cast<double>(sampleRate);
    const double spanMs = static_cast<double>(window) * msPerFrame; // each side of the seam

    constexpr double kWidth = 900.0;
    constexpr double kLeftMargin = 70.0;
    constexpr double kRightMargin = 20.0;
    constexpr double kTop = 50.0;
    constexpr double kLaneHeight = 160.0;
    constexpr double kLaneGap = 20.0;
    constexpr double kAxisHeight = 50.0;
    const std::size_t lanes = channelCount > 1 ? 2 : 1;
    const double plotWidth = kWidth - kLeftMargin - kRightMargin;
    const double height = kTop + static_cast<double>(lanes) * (kLaneHeight + kLaneGap) + kAxisHeight;
    const double seamX = kLeftMargin + plotWidth / 2.0;
    auto xAt = [&](double ms) { return seamX + ms / spanMs * (plotWidth / 2.0); };

    std::ostringstream svg;
    svg << std::fixed << std::setprecision(2);
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << kWidth << ' ' << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<title>" << escapeXml(title) << ": loop seam</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
        << "<text x=\"" << kLeftMargin << "\" y=\"20\" font-size=\"14\">" << escapeXml(title)
        << ": last " << std::setprecision(1) << spanMs << " ms, then first " << spanMs << " ms"
        << std::setprecision(2) << "</text>\n";

    const ChannelBuffer* channels[] = {&left, &right};
    const char* names[] = {"left", "right"};
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        const ChannelBuffer& samples = *channels[lane];
        const double top = kTop + static_cast<double>(lane) * (kLaneHeight + kLaneGap);
        const double middle = top + kLaneHeight / 2.0;
        // Scale each lane to its own peak in view, so quiet loops still show.
        double peak = 0.0;
        for (std::size_t k = 0; k < window; ++k) {
            peak = std::max({peak, std::fabs(samples[n - window + k]), std::fabs(samples[k])});
        }
        const double scale = peak > 0.0 ? (kLaneHeight / 2.0 - 6.0) / peak : 0.0;
        auto yAt = [&](double v) { return middle - (std::isfinite(v) ? v : 0.0) * scale; };

        svg << "<g class=\"lane\" data-channel=\"" << lane + 1 << "\">\n"
            << "<rect x=\"" << kLeftMargin << "\" y=\"" << top << "\" width=\"" << plotWidth << "\" height=\""
            << kLaneHeight << "\" fill=\"#f6f7f9\" stroke=\"#c8ccd2\"/>\n"
            << "<line x1=\"" << kLeftMargin << "\" y1=\"" << middle << "\" x2=\"" << kLeftMargin + plotWidth
            << "\" y2=\"" << middle << "\" stroke=\"#c8ccd2\"/>\n"
            << "<text x=\"8\" y=\"" << middle + 4 << "\">" << (lanes > 1 ? names[lane] : "mono") << "</text>\n"
            << "<text x=\"" << kLeftMargin - 4 << "\" y=\"" << top + 12 << "\" text-anchor=\"end\" font-size=\"10\">"
            << std::setprecision(3) << "+" << peak << "</text>\n"
            << "<text x=\"" << kLeftMargin - 4 << "\" y=\"" << top + kLaneHeight - 2
            << "\" text-anchor=\"end\" font-size=\"10\">-" << peak << std::setprecision(2) << "</text>\n"
            << "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1.2\" points=\"";
        // The end of the file up to the seam, then its start after it.
        for (std::size_t k = 0; k < window; ++k) {
            const double ms = -static_cast<double>(window - k) * msPerFrame;
            svg << xAt(ms) << ',' << yAt(samples[n - window + k]) << ' ';
        }
        for (std::size_t k = 0; k < window; ++k) {
            svg << xAt(static_cast<double>(k) * msPerFrame) << ',' << yAt(samples[k]) << ' ';
        }
        svg << "\"/>\n</g>\n";
    }

    const double plotBottom = kTop + static_cast<double>(lanes) * (kLaneHeight + kLaneGap) - kLaneGap;
    svg << "<g class=\"seam\">\n"
        << "<line x1=\"" << seamX << "\" y1=\"" << kTop - 6 << "\" x2=\"" << seamX << "\" y2=\"" << plotBottom + 6
        << "\" stroke=\"#d03030\" stroke-width=\"1.5\" stroke-dasharray=\"5,3\"/>\n"
        << "<text x=\"" << seamX + 4 << "\" y=\"" << kTop - 8 << "\" fill=\"#d03030\">seam (end | start)</text>\n"
        << "</g>\n";

    // Time axis in milliseconds, negative before the seam.
    const double axisY = plotBottom + 14;
    svg << "<g class=\"axis\">\n";
    const double tickStep = spanMs > 5.0 ? 2.0 : (spanMs > 1.0 ? 0.5 : 0.1);
    const int ticks = static_cast<int>(std::floor(spanMs / tickStep + 1e-9));
    for (int t = -ticks; t <= ticks; ++t) {
        const double ms = t * tickStep;
        svg << "<line x1=\"" << xAt(ms) << "\" y1=\"" << plotBottom << "\" x2=\"" << xAt(ms) << "\" y2=\""
            << plotBottom + 4 << "\" stroke=\"#555\"/>\n"
            << "<text x=\"" << xAt(ms) << "\" y=\"" << axisY + 4 << "\" text-anchor=\"middle\" font-size=\"10\">"
            << std::setprecision(tickStep < 1.0 ? 1 : 0) << ms << std::setprecision(2) << "</text>\n";
    }
    svg << "<text x=\"" << seamX << "\" y=\"" << axisY + 22 << "\" text-anchor=\"middle\">time from seam (ms)</text>\n"
        << "</g>\n</svg>\n";
    return svg.str();
}

} // namespace sorvane
