#include "cli/seam_run.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <limits>
#include <string>

#include "audio_io/audio_io.hpp"
#include "cli/memory_guard.hpp"
#include "seam/seam.hpp"

namespace sorvane {

namespace {

void printDb(std::ostream& out, double db) {
    if (db == std::numeric_limits<double>::infinity()) {
        out << "+inf";
    } else if (db == -std::numeric_limits<double>::infinity()) {
        out << "-inf";
    } else {
        out << std::showpos << std::setprecision(1) << db << std::noshowpos;
    }
}

int runChecked(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    if (argc != 2 && argc != 3) {
        const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : "sorvane-seam";
        err << "Usage: " << name << " <loop audio file> [picture.svg]\n";
        return 1;
    }
    const std::string loopPath = argv[1];
    const std::optional<AudioInput> loop = readInputAudio(loopPath, err);
    if (!loop) {
        return 1;
    }
    if (loop->left.size() < 2) {
        err << "Error: loop must have at least 2 frames to judge its seam.\n";
        return 1;
    }
    const std::int32_t channels = loop->info.channels;
    const SeamReport report =
        analyseSeam(loop->left, loop->right, channels, seamWindowFrames(loop->info.samplerate));

    if (argc == 3) {
        const std::string picturePath = argv[2];
        std::ofstream picture(picturePath, std::ios::binary | std::ios::trunc);
        if (picture) {
            picture << renderSeamSvg(loop->left, loop->right, channels, loop->info.samplerate, loopPath);
            picture.close();
        }
        if (!picture) {
            err << "Error writing picture file: " << std::strerror(errno) << "\n";
            return 1;
        }
    }

    out << "Loop:   " << loopPath << "\n"
        << "Frames: " << loop->left.size() << " at " << loop->info.samplerate << " Hz\n";
    const char* names[] = {"left", "right"};
    out << std::fixed;
    for (std::size_t c = 0; c < report.channels.size(); ++c) {
        const ChannelSeam& seam = report.channels[c];
        out << (channels > 1 ? names[c] : "mono") << ": seam step " << std::setprecision(6) << seam.seamStep
            << "; steps: median " << seam.medianStep << ", 99th percentile " << seam.percentile99Step
            << "; seam ";
        printDb(out, seam.seamRelativeDb);
        out << " dB re 99th percentile\n"
            << "  near the seam: 99th percentile " << std::setprecision(6) << seam.nearPercentile99Step
            << "; seam ";
        printDb(out, seam.seamRelativeNearDb);
        out << " dB" << (seam.likelyClick ? "; click" : "") << "\n";
    }
    out << (report.likelyClick ? "seam: likely click\n" : "seam: smooth\n");
    return 0;
}

} // namespace

int runSeam(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    return exitOneWhenMemoryRunsOut([&] { return runChecked(argc, argv, out, err); });
}

} // namespace sorvane
