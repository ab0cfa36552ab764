#pragma once

// What the seamless lossy writer shares with the encoder of each format.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <ogg/ogg.h>

#include "audio_io/lossy_writer.hpp"

namespace sorvane {

// The samples an encoder is given, in order: `pre` frames of context (what
// a player plays before the file's first frame when it loops), the file's
// `frames`, and `post` frames of context (what it plays after the last);
// interleaved, at the file's rate.
class EncoderFeed {
public:
    virtual ~EncoderFeed() = default;
    std::uint64_t pre = 0;
    std::uint64_t frames = 0;
    std::uint64_t post = 0;
    std::uint64_t total() const { return pre + frames + post; }
    // Up to `count` frames into `out`; 0 once all are given.
    virtual std::size_t read(float* out, std::size_t count) = 0;
};

// Encoded bytes going out in order; a positioned target may also be mended
// behind. The first failure is kept and ends everything after it.
class ByteWriter {
public:
    explicit ByteWriter(const ByteTarget& target) : target_(target) {}
    void write(const void* data, std::size_t size);
    void writePage(const ogg_page& page);
    bool canMend() const { return target_.positioned; }
    // Overwrites bytes written before at `offset` (counted from the first).
    void mend(std::uint64_t offset, const void* data, std::size_t size);
    std::uint64_t written() const { return written_; }
    const std::optional<std::string>& failure() const { return failure_; }
    void fail(std::string reason) {
        if (!failure_) {
            failure_ = std::move(reason);
        }
    }

private:
    ByteTarget target_;
    std::uint64_t written_ = 0;
    std::optional<std::string> failure_;
};

// The frames of context each codec wants on either side, at its rate: enough
// to cover the blocks that overlap an end.
struct ContextWanted {
    std::uint64_t pre = 0;
    std::uint64_t post = 0;
};

// A serial number for an Ogg stream, different from run to run.
int oggSerialNumber();

std::optional<std::string> encodeVorbis(ByteWriter& out, EncoderFeed& feed, const LossyOutput& output);
std::optional<std::string> encodeOpus(ByteWriter& out, EncoderFeed& feed, const LossyOutput& output);
std::optional<std::string> encodeMp3(ByteWriter& out, EncoderFeed& feed, const LossyOutput& output);

ContextWanted vorbisContext(int rate);
ContextWanted opusContext(int rate);
ContextWanted mp3Context(int rate);

// The Vorbis comment names libsndfile gives its string set in Ogg files.
std::vector<std::string> stringSetAsComments(const std::vector<std::pair<int, std::string>>& strings);

} // namespace sorvane
