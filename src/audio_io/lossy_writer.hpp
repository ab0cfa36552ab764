#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "loops/loop_builders.hpp"
#include "metadata/loop_points.hpp"

namespace sorvane {

// The codecs the seamless lossy writer encodes: every lossy format
// libsndfile can write.
enum class LossyCodec { Vorbis, Opus, Mp3 };

// The codec of a libsndfile format (Ogg Vorbis, Ogg Opus, MP3 layer III),
// or nothing when the seamless lossy writer does not write it.
std::optional<LossyCodec> lossyCodecOf(int format);

// The codec's name in messages: "Vorbis", "Opus" or "MP3".
const char* lossyCodecName(LossyCodec codec);

// How a lossy encoder is set, in each codec's own terms; what is not set is
// chosen by encoderSettingsFor.
struct EncoderSettings {
    std::optional<double> vorbisQuality; // -1 to 10, as oggenc counts
    std::optional<int> opusKbps;         // the whole stream's bit rate
    std::optional<int> mp3VbrLevel;      // 0 (finest) to 9, LAME's -V
    std::optional<int> mp3Kbps;          // a constant rate, where a VBR level would fall below the input's
};

// A lossy file written so that its wrap decodes as smoothly as the loop it
// holds: each end is encoded with what follows or precedes it when the file
// plays as a loop, and the decoded file is trimmed to exactly the loop's frames.
struct LossyOutput {
    int format = 0;     // libsndfile's code: Ogg Vorbis, Ogg Opus or MP3
    int sampleRate = 0; // of the file; the frames are resampled to it when it differs from theirs
    int channels = 0;
    EncoderSettings encoder;
    // The loop a player repeats, in the frames given: the whole file when
    // there is none. Only an end of the file that is also an end of the
    // loop gets the other end as context; an intro or a release is coded as
    // it continues.
    std::optional<LoopPoints> loop;
    // Tags for the header: libsndfile's string set (SF_STR_*, UTF-8 values).
    std::vector<std::pair<int, std::string>> strings;
};

// Where the encoded bytes go: a descriptor written in order, or at any offset
// from `base` (then the MP3 header is mended in place instead of the whole
// file being held until its end).
struct ByteTarget {
    int fd = -1;
    bool positioned = false;
    off_t base = 0;
};

// The sample rate a format writes frames of `rate` at: the rate itself for
// every format but Opus and MP3, and for those where the codec carries it, else the nearest it carries above it, else its
// highest (Opus carries 8, 12, 16, 24 and 48 kHz; MP3 8 to 48 kHz).
int lossyRateFor(int format, int rate);

// How frames at `from` Hz go into a file at `to` Hz. The ratio is not quite
// to / from: it is set so that the loop (the whole of the frames when none
// is marked) spans a whole number of frames, which a player then repeats
// without a fraction of a frame's jump at the wrap. The loop's length
// changes by less than half a frame: a pitch change of less than a cent
// for a loop of 0.4 ms at 44.1 kHz, a thousandth of one for a loop of 1 s.
struct Resampling {
    double ratio = 1.0;      // output frames per input frame
    std::uint64_t frames = 0; // in the file
    std::optional<LoopPoints> loop;
};
Resampling resamplingFor(std::uint64_t frames, const std::optional<LoopPoints>& loop, int from, int to);

// Encodes `frames` (at `frameRate`) as `output` says into `target`.
// Nothing, or why it failed.
std::optional<std::string> writeLossy(const ByteTarget& target, const LoopSource& frames, int frameRate,
                                      const LossyOutput& output);

} // namespace sorvane
