#include "seam/seam_picture.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iomanip>
#include <sstream>
#include <vector>

#include "escape/escape.hpp"

namespace sorvane {

namespace {

constexpr double kWidth = 1000.0;
constexpr double kLeftMargin = 70.0;
constexpr double kMainWidth = 600.0;
constexpr double kGap = 30.0;
constexpr double kZoomWidth = 260.0;
constexpr double kTop = 70.0;
constexpr double kLaneHeight = 160.0;
constexpr double kLaneGap = 24.0;
constexpr double kAxisHeight = 50.0;
// Frames each side of the seam in the close-up, and the most frames a view
// may show before dots would merge into a line.
constexpr std::size_t kZoomFrames = 12;
constexpr std::size_t kMostDots = 160;

const char* const kWave = "#1f5fbf";
const char* const kAlarm = "#d03030";

std::string scaleText(double peak) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << peak;
    return text.str();
}

// The frames [-window, window) of a loop played end to end, one vector a
// channel: all the picture shows.
std::vector<ChannelBuffer> framesAtSeam(const LoopSource& loop, std::size_t window) {
    const std::size_t n = static_cast<std::size_t>(loop.frames());
    const std::size_t channels = loop.channels();
    std::vector<ChannelBuffer> lanes(channels, ChannelBuffer(2 * window));
    std::vector<double> frames(window * channels);
    for (const std::size_t half : {std::size_t{0}, std::size_t{1}}) { // the end, then the start; a window is at most half the loop
        loop.fill(half == 0 ? n - window : 0, window, frames.data());
        for (std::size_t k = 0; k < window; ++k) {
            for (std::size_t c = 0; c < channels; ++c) {
                lanes[c][half * window + k] = frames[k * channels + c];
            }
        }
    }
    return lanes;
}

// One view of a channel: its `before` frames before the seam and `after`
// after (of `seam`, the frames around it, the seam in the middle), across
// `width` pixels from `x0`, with dots when few enough to see.
void drawView(std::ostringstream& svg, const ChannelBuffer& seam, std::size_t before, std::size_t after,
              double x0, double width, double middle, double scale) {
    const double total = static_cast<double>(before + after);
    auto xOf = [&](std::size_t k) { return x0 + (static_cast<double>(k) + 0.5) / total * width; };
    auto yOf = [&](double v) { return middle - (std::isfinite(v) ? v : 0.0) * scale; };
    auto sampleAt = [&](std::size_t k) { return seam[seam.size() / 2 - before + k]; };
    svg << "<polyline fill=\"none\" stroke=\"" << kWave << "\" stroke-width=\"1.2\" points=\"";
    for (std::size_t k = 0; k < before + after; ++k) {
        svg << xOf(k) << ',' << yOf(sampleAt(k)) << ' ';
    }
    svg << "\"/>\n";
    if (before + after <= kMostDots) {
        svg << "<g class=\"dots\" fill=\"" << kWave << "\">\n";
        for (std::size_t k = 0; k < before + after; ++k) {
            svg << "<circle cx=\"" << xOf(k) << "\" cy=\"" << yOf(sampleAt(k)) << "\" r=\"2.5\"/>\n";
        }
        svg << "</g>\n";
    }
}

} // namespace

std::string renderSeamSvg(const ChannelBuffer& left, const ChannelBuffer& right, std::int32_t channelCount,
                          int sampleRate, const SeamJudgement& judgement, const SeamPictureOptions& options) {
    return renderSeamSvg(*buffersAsLoop(left, right, channelCount), sampleRate, judgement, options);
}

std::string renderSeamSvg(const LoopSource& loop, int sampleRate, const SeamJudgement& judgement,
                          const SeamPictureOptions& options) {
    const auto n = static_cast<std::size_t>(loop.frames());
    // 10 ms each side, or as much of the loop as there is.
    const std::size_t window = std::max<std::size_t>(1, std::min(n / 2, static_cast<std::size_t>(sampleRate / 100)));
    const std::size_t zoom = std::max<std::size_t>(1, std::min({n / 2, kZoomFrames, window}));
    const double msPerFrame = 1000.0 / static_cast<double>(sampleRate);
    const double spanMs = static_cast<double>(window) * msPerFrame;
    const std::size_t lanes = loop.channels();
    const double height = kTop + static_cast<double>(lanes) * (kLaneHeight + kLaneGap) + kAxisHeight;
    const double seamX = kLeftMargin + kMainWidth / 2.0;
    const double zoomX = kLeftMargin + kMainWidth + kGap;
    const std::vector<ChannelBuffer> seam = framesAtSeam(loop, window);

    // Each lane's peak in view, and the loudest of them for a shared scale.
    std::vector<double> peaks(lanes, 0.0);
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        for (const double v : seam[lane]) {
            peaks[lane] = std::max(peaks[lane], std::isfinite(v) ? std::fabs(v) : 0.0);
        }
    }
    const double loudest = *std::max_element(peaks.begin(), peaks.end());

    std::ostringstream svg;
    svg << std::fixed << std::setprecision(2);
    const std::string verdict = std::string("seam: ") + verdictText(judgement.verdict);
    const bool alarm = judgement.verdict != SeamVerdict::Smooth;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << kWidth << ' ' << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<title>" << escapeXml(options.title) << ": loop seam</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
        << "<text x=\"" << kLeftMargin << "\" y=\"20\" font-size=\"14\">" << escapeXml(options.title)
        << ": last " << std::setprecision(1) << spanMs << " ms, then first " << spanMs << " ms"
        << std::setprecision(2) << "</text>\n"
        << "<text class=\"verdict\" x=\"" << kLeftMargin << "\" y=\"40\" font-size=\"14\" font-weight=\"bold\" fill=\""
        << (alarm ? kAlarm : "#207a35") << "\">" << verdict << "</text>\n";

    for (std::size_t lane = 0; lane < lanes; ++lane) {
        const ChannelBuffer& samples = seam[lane];
        const ChannelJudgement& c = judgement.channels[lane];
        const double top = kTop + static_cast<double>(lane) * (kLaneHeight + kLaneGap);
        const double middle = top + kLaneHeight / 2.0;
        const double peak = options.sharedScale ? loudest : peaks[lane];
        const double scale = peak > 0.0 ? (kLaneHeight / 2.0 - 6.0) / peak : 0.0;
        std::string rules;
        for (const char* rule : firedRules(c)) {
            rules += (rules.empty() ? "" : ", ") + std::string(rule);
        }

        svg << "<g class=\"lane\" data-channel=\"" << lane + 1 << "\">\n";
        for (const auto& [x0, width] : {std::pair{kLeftMargin, kMainWidth}, std::pair{zoomX, kZoomWidth}}) {
            svg << "<rect x=\"" << x0 << "\" y=\"" << top << "\" width=\"" << width << "\" height=\"" << kLaneHeight
                << "\" fill=\"#f6f7f9\" stroke=\"#c8ccd2\"/>\n"
                << "<line x1=\"" << x0 << "\" y1=\"" << middle << "\" x2=\"" << x0 + width << "\" y2=\"" << middle
                << "\" stroke=\"#c8ccd2\"/>\n";
        }
        svg << "<text x=\"8\" y=\"" << middle + 4 << "\">" << channelName(lane, lanes) << "</text>\n"
            << "<text class=\"scale\" x=\"" << kLeftMargin - 4 << "\" y=\"" << top + 12
            << "\" text-anchor=\"end\" font-size=\"10\">+" << scaleText(peak) << "</text>\n"
            << "<text class=\"scale\" x=\"" << kLeftMargin - 4 << "\" y=\"" << top + kLaneHeight - 2
            << "\" text-anchor=\"end\" font-size=\"10\">-" << scaleText(peak) << "</text>\n"
            << "<text class=\"rules\" x=\"" << zoomX << "\" y=\"" << top - 4 << "\" font-size=\"11\" fill=\""
            << (rules.empty() ? "#555" : kAlarm) << "\">" << (rules.empty() ? "no rule fired" : rules + " fired")
            << "</text>\n";
        drawView(svg, samples, window, window, kLeftMargin, kMainWidth, middle, scale);
        svg << "<g class=\"zoom\">\n";
        drawView(svg, samples, zoom, zoom, zoomX, kZoomWidth, middle, scale);
        svg << "</g>\n</g>\n";
    }

    const double plotBottom = kTop + static_cast<double>(lanes) * (kLaneHeight + kLaneGap) - kLaneGap;
    const double zoomSeamX = zoomX + kZoomWidth / 2.0;
    svg << "<g class=\"seam\">\n";
    for (const double x : {seamX, zoomSeamX}) {
        svg << "<line x1=\"" << x << "\" y1=\"" << kTop - 6 << "\" x2=\"" << x << "\" y2=\"" << plotBottom + 6
            << "\" stroke=\"" << kAlarm << "\" stroke-width=\"1.5\" stroke-dasharray=\"5,3\"/>\n";
    }
    svg << "<text x=\"" << seamX + 4 << "\" y=\"" << kTop - 8 << "\" fill=\"" << kAlarm
        << "\">seam (end | start)</text>\n</g>\n";

    // Time axis in milliseconds, negative before the seam; the close-up in frames.
    const double axisY = plotBottom + 14;
    auto xAt = [&](double ms) { return seamX + ms / spanMs * (kMainWidth / 2.0); };
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
        << "<text x=\"" << zoomSeamX << "\" y=\"" << axisY + 22 << "\" text-anchor=\"middle\">the " << 2 * zoom
        << " frames at the seam" << (options.sharedScale ? "; one scale for all lanes" : "") << "</text>\n"
        << "</g>\n</svg>\n";
    return svg.str();
}

} // namespace sorvane
