#include "sustain/looped_note.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "audio_io/audio_io.hpp"
#include "audio_io/output_format.hpp"
#include "metadata/file_metadata.hpp"
#include "metadata/loop_points.hpp"
#include "seam/written_seam.hpp"

namespace sorvane {

namespace {

constexpr double kNameAgreesCents = 50.0;
constexpr double kPeakWindowSeconds = 0.05;
constexpr double kReleaseWindowSeconds = 0.01;
constexpr double kReleaseFloorDb = 60.0;

// Mean square over frames [from, to), the channels together.
double meanSquare(const ChannelBuffer& left, const ChannelBuffer& right, std::size_t from, std::size_t to) {
    double sum = 0.0;
    for (std::size_t k = from; k < to; ++k) {
        sum += left[k] * left[k] + (right.empty() ? 0.0 : right[k] * right[k]);
    }
    return to > from ? sum / static_cast<double>((to - from) * (right.empty() ? 1 : 2)) : 0.0;
}

double decibelsOf(double meanSquared) { return meanSquared > 0.0 ? 10.0 * std::log10(meanSquared) : -200.0; }

// The loudest 50 ms window, stepping by half a window.
double peakLevelDb(const ChannelBuffer& left, const ChannelBuffer& right, int sampleRate) {
    const auto window = std::max<std::size_t>(1, static_cast<std::size_t>(kPeakWindowSeconds * sampleRate));
    double loudest = 0.0;
    for (std::size_t from = 0; from < left.size(); from += std::max<std::size_t>(1, window / 2)) {
        loudest = std::max(loudest, meanSquare(left, right, from, std::min(left.size(), from + window)));
    }
    return decibelsOf(loudest);
}

// From the loop's end until 10 ms windows stay 60 dB below the loop's last
// 50 ms, or until the note ends.
double releaseSecondsOf(const ChannelBuffer& left, const ChannelBuffer& right, int sampleRate, const SustainLoop& loop) {
    const auto window = std::max<std::size_t>(1, static_cast<std::size_t>(kReleaseWindowSeconds * sampleRate));
    const auto span = std::max<std::size_t>(1, static_cast<std::size_t>(kPeakWindowSeconds * sampleRate));
    const std::size_t end = loop.loop.end;
    const double floor = meanSquare(left, right, end - std::min(end - loop.loop.start, span), end) *
                         std::pow(10.0, -kReleaseFloorDb / 10.0);
    std::size_t lastAbove = end;
    for (std::size_t from = end; from < left.size(); from += window) {
        const std::size_t to = std::min(left.size(), from + window);
        if (meanSquare(left, right, from, to) * loop.gainAt(from) * loop.gainAt(from) > floor) {
            lastAbove = to;
        }
    }
    return static_cast<double>(lastAbove - end) / sampleRate;
}

} // namespace

std::optional<double> unityNoteOf(std::optional<int> namedRoot, std::optional<double> foundNote) {
    if (!namedRoot) {
        return foundNote;
    }
    if (!foundNote || std::fabs(*foundNote - *namedRoot) * 100.0 <= kNameAgreesCents) {
        return foundNote ? foundNote : std::optional<double>(*namedRoot);
    }
    return *namedRoot + (*foundNote - std::round(*foundNote));
}

std::optional<LoopedNote> loopNoteFile(const NoteRequest& request, std::ostream& err,
                                       const std::function<bool(const LoopedNote&)>& beforeWriting) {
    const std::string& in = request.input;
    const std::string& out = request.output;
    std::ostringstream reading;
    std::optional<AudioInput> input = readInputAudio(in, reading);
    if (!input) {
        std::istringstream lines(reading.str());
        for (std::string line; std::getline(lines, line);) {
            err << in << ": " << line << "\n";
        }
        return std::nullopt;
    }
    const SF_INFO& info = input->info;
    OutputPlan plan = planOutput(out, *input);
    if (!loopCarrierOf(plan.info.format)) {
        err << out << ": Error: " << containerName(plan.info.format)
            << " files cannot carry loop points; nothing was written. Name the output .wav, .aiff, .flac, .ogg or "
               ".opus.\n";
        return std::nullopt;
    }
    if (request.quality) {
        const QualityChoice choice = encoderSettingsFromQuality(plan.info.format, *request.quality);
        if (choice.refused) {
            err << out << ": Error: " << *choice.refused << "; nothing was written.\n";
            return std::nullopt;
        }
        plan.encoder = choice.settings;
    }
    // A lossy note keeps its packets as they were, and gains the loop's
    // comments alone, when its loop is seamless without a blend: decoding
    // and encoding it again would cost quality on every run. A blend (one
    // the seam needs, or one asked for) makes new audio of it.
    const bool sameLossyFormat = isLossy(info.format) && plan.info.format == info.format && in != "-";
    bool keepPackets = sameLossyFormat && !request.crossfadeMs && !request.flatten && !request.quality;
    const int rate = info.samplerate;
    // Past a day every length means "to the end": the count stays representable.
    auto frames = [&](double seconds) {
        return static_cast<std::size_t>(std::llround(std::min(seconds, 86400.0) * rate));
    };
    SustainSettings settings;
    if (request.startSeconds) {
        settings.regionStart = frames(*request.startSeconds);
    }
    if (request.endSeconds) {
        settings.regionEnd = frames(*request.endSeconds);
    }
    if (request.shortestSeconds) {
        settings.shortestLoop = frames(*request.shortestSeconds);
    }
    settings.crossfadeMs = request.crossfadeMs;
    settings.crossfade = request.crossfade && !keepPackets;
    settings.flatten = request.flatten;
    std::variant<SustainLoop, std::string> found =
        findSustainLoop(input->left, input->right, info.channels, rate, settings);
    if (const auto* unblended = std::get_if<SustainLoop>(&found);
        unblended && keepPackets && request.crossfade && !unblended->smoothWithMargin()) {
        keepPackets = false;
        settings.crossfade = true;
        found = findSustainLoop(input->left, input->right, info.channels, rate, settings);
    }
    if (const auto* reason = std::get_if<std::string>(&found)) {
        err << in << ": Error: " << *reason << "; nothing was written.\n";
        return std::nullopt;
    }
    LoopedNote note;
    note.loop = std::move(std::get<SustainLoop>(found));
    note.input = info;
    note.output = plan.info;
    note.inputIdentity = input->identity;
    note.keptPackets = keepPackets;
    const std::optional<double> foundNote =
        note.loop.pitch.pitched ? std::optional<double>(midiNoteOf(note.loop.frequency)) : std::nullopt;
    note.unityNote = unityNoteOf(request.namedRoot, foundNote);
    note.nameDisagrees = request.namedRoot && foundNote && *note.unityNote != *foundNote;
    note.peakDb = peakLevelDb(input->left, input->right, rate);
    note.releaseSeconds = releaseSecondsOf(input->left, input->right, rate, note.loop);
    if (beforeWriting && !beforeWriting(note)) {
        return std::nullopt;
    }

    LoopPoints points;
    points.start = note.loop.loop.start;
    points.end = note.loop.loop.end;
    points.midiNote = note.unityNote;
    const std::unique_ptr<LoopSource> sound = sustainedSound(input->left, input->right, info.channels, note.loop);
    std::ostringstream writing;
    // Everything the note carries stays, but its old loop points.
    note.fileLoop = points;
    note.fileRate = plan.info.samplerate;
    if (!keepPackets && lossyCodecOf(plan.info.format)) {
        // The note is encoded with the loop's ends as each other's context,
        // and resampled where the codec does not carry its rate.
        plan.loop = points;
        const Resampling resampling = resamplingFor(sound->frames(), points, rate, plan.info.samplerate);
        note.fileLoop = *resampling.loop;
        note.encodedWith = plan.encoder;
    }
    plan.extras = metadataWriter(keepPackets ? FileMetadata{info.format, {}, {}, {}} : input->metadata,
                                 plan.info, AudioKept::Same, note.fileLoop);
    const bool written = keepPackets ? copyOutputFile(out, *input, plan, writing)
                                     : writeOutputAudio(out, plan, *sound, writing).has_value();
    if (!written) {
        err << out << ": " << writing.str();
        return std::nullopt;
    }
    // Encoded anew, a lossy note's loop is judged as the file holds it.
    if (!keepPackets && isLossy(plan.info.format)) {
        note.heard = judgeWrittenSeam(out, note.fileLoop.start, note.fileLoop.end);
    }
    return note;
}

} // namespace sorvane
