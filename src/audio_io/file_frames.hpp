#pragma once

#include <optional>
#include <string>

#include "audio_io/audio_io.hpp"
#include "loops/loop_builders.hpp"

namespace sorvane {

// The frames of an open input, read where they are asked for, so that a long
// file is never held: for a regular file, which libsndfile can seek in.
// Ogg and MPEG decoders seek near a frame rather than to it: their frames
// are read on from where the last read ended, from the start again when a
// read goes back, so that they are read as a full decode reads them.
class FileFrames : public LoopSource {
public:
    explicit FileFrames(OpenInput input);

    std::uint64_t frames() const override { return static_cast<std::uint64_t>(input_.info.frames); }
    std::size_t channels() const override { return static_cast<std::size_t>(input_.info.channels); }
    // Frames the file does not hold come back as silence, and error() says so.
    void fill(std::uint64_t first, std::size_t count, double* out) const override;

    // libsndfile's reason for the first read that failed, if one did.
    const std::optional<std::string>& error() const { return error_; }
    int sampleRate() const { return input_.info.samplerate; }

private:
    OpenInput input_;
    bool exactSeek_;
    mutable sf_count_t position_ = 0;
    mutable std::optional<std::string> error_;
};

} // namespace sorvane
