#include "audio_io/file_frames.hpp"

#include <algorithm>
#include <vector>

namespace sorvane {

FileFrames::FileFrames(OpenInput input) : input_(std::move(input)) {
    const int major = input_.info.format & SF_FORMAT_TYPEMASK;
    exactSeek_ = major != SF_FORMAT_OGG && major != SF_FORMAT_MPEG;
}

void FileFrames::fill(std::uint64_t first, std::size_t count, double* out) const {
    SNDFILE* file = input_.handle.get();
    const auto at = static_cast<sf_count_t>(first);
    bool placed = true;
    if (exactSeek_ || at < position_) {
        placed = sf_seek(file, exactSeek_ ? at : 0, SEEK_SET) == (exactSeek_ ? at : 0);
        position_ = exactSeek_ ? at : 0;
    }
    std::vector<double> skipped;
    while (placed && position_ < at) {
        const sf_count_t step = std::min<sf_count_t>(at - position_, 4096);
        skipped.resize(static_cast<std::size_t>(step) * channels());
        const sf_count_t got = sf_readf_double(file, skipped.data(), step);
        placed = got == step;
        position_ += std::max<sf_count_t>(0, got);
    }
    sf_count_t got = 0;
    if (placed) {
        got = std::max<sf_count_t>(0, sf_readf_double(file, out, static_cast<sf_count_t>(count)));
        position_ += got;
    }
    if (got < static_cast<sf_count_t>(count)) {
        std::fill(out + got * static_cast<sf_count_t>(channels()), out + count * channels(), 0.0);
        if (!error_) {
            error_ = sf_error(file) != SF_ERR_NO_ERROR ? std::string(sf_strerror(file))
                                                       : std::string("the file holds fewer frames than it declares");
        }
    }
}

} // namespace sorvane
