#include "cli/seam_run.hpp"

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <limits>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio_io/audio_io.hpp"
#include "audio_io/file_descriptor.hpp"
#include "cli/memory_guard.hpp"
#include "cli/report.hpp"
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

// Writes the picture through a descriptor that is checked to be no link to
// the loop, or another name of it, before anything is changed: a picture path
// mistyped as the loop's must not replace a sound with a drawing of it.
bool writePicture(const std::string& path, const std::string& svg, const std::optional<FileIdentity>& loop,
                  std::ostream& err) {
    FileDescriptor fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
    const bool created = static_cast<bool>(fd);
    if (!fd && errno == EEXIST) {
        fd = FileDescriptor(open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    }
    struct stat st {};
    int error = !fd || fstat(fd.get(), &st) != 0 ? errno : 0;
    if (error == 0 && loop && *loop == identityOf(st)) {
        err << "Error: picture file " << path << " is the loop itself; choose another name.\n";
        return false;
    }
    if (error == 0 && S_ISREG(st.st_mode) && ftruncate(fd.get(), 0) != 0) {
        error = errno;
    }
    if (error == 0) {
        error = writeAll(fd.get(), svg.data(), svg.size());
    }
    if (error == 0) {
        error = fd.close();
    }
    if (error != 0) {
        if (created) {
            unlink(path.c_str());
        }
        err << "Error writing picture file: " << std::strerror(error) << "\n";
        return false;
    }
    return true;
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
        const std::string svg =
            renderSeamSvg(loop->left, loop->right, channels, loop->info.samplerate, loopPath);
        if (!writePicture(picturePath, svg, loop->identity, err)) {
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
    return flushReport(out, err) ? 0 : 1;
}

} // namespace

int runSeam(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    return exitOneWhenMemoryRunsOut([&] { return runChecked(argc, argv, out, err); });
}

} // namespace sorvane
