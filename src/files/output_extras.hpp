#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include <sndfile.h>

namespace sorvane {

// What a caller adds to a file as it is written besides the audio (tags,
// chunks, loop points). Each returns nothing, or why it failed, which fails
// the write as any other cause would.
struct OutputExtras {
    // On the open file, before the first frame (for what libsndfile writes
    // into the header).
    std::function<std::optional<std::string>(SNDFILE*)> beforeFrames;
    // The same for an output that cannot be amended once closed (a pipe, a
    // device), when it differs: what would have been added later goes into
    // the header as far as it can.
    std::function<std::optional<std::string>(SNDFILE*)> beforeFramesStreamed;
    // The tags an encoder that writes its own header puts there, for an
    // output that can be amended once closed and for one that cannot:
    // libsndfile's string set (SF_STR_* codes, UTF-8 values).
    std::vector<std::pair<int, std::string>> headerStrings;
    std::vector<std::pair<int, std::string>> headerStringsStreamed;
    // On the complete, closed file before it takes its place: its descriptor,
    // readable and writable at any offset from `base`. Skipped for a pipe, a
    // character device or a standard output open for writing alone, which
    // cannot be amended...
    std::function<std::optional<std::string>(int fd, off_t base)> afterClose;
    // ...unless what it adds is the point of the file (loop points): then
    // such an output is refused up front.
    bool needsFile = false;
};

} // namespace sorvane
