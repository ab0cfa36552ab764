#include "audio_io/lossy_writer.hpp"

#include <algorithm>
#include <cmath>
#include <random>

#include <soxr.h>

#include <sndfile.h>

#include "audio_io/lossy_encoders.hpp"
#include "files/file_descriptor.hpp"

namespace sorvane {

namespace {

constexpr std::size_t kBlockFrames = 4096;

// LAME aborts the whole process on an assertion when it meets a sample that
// is not a number, infinite, or around +80 dBFS and beyond (tried on Debian's
// build), and the other encoders' models go astray; a decodable lossy file
// holds nothing near this bound, so a sample beyond it comes from a damaged
// input and the write is refused before an encoder sees it.
constexpr double kSampleLimit = 64.0; // +36 dBFS

// Where the frames come from, at their own rate: the context before the
// file (the loop's last frames, cycled as often as a short loop needs), the
// file, the context after it (the loop's first frames).
class WrappedFrames {
public:
    WrappedFrames(const LoopSource& source, std::uint64_t wrapStart, std::uint64_t wrapEnd, std::uint64_t pre,
                  std::uint64_t post)
        : source_(source), start_(wrapStart), end_(wrapEnd), pre_(pre), post_(post),
          channels_(source.channels()) {}

    std::uint64_t total() const { return pre_ + source_.frames() + post_; }

    // Frames [at, at + count) of the whole sequence, as doubles.
    void fill(std::uint64_t at, std::size_t count, double* out) const {
        std::size_t done = 0;
        while (done < count) {
            const std::uint64_t position = at + done;
            std::uint64_t from = 0;
            std::size_t run = count - done;
            if (position < pre_) {
                // Frame `position` of the context is the loop's frame end - (pre - position), cycled.
                const std::uint64_t length = end_ - start_;
                const std::uint64_t back = (pre_ - position) % length;
                from = back == 0 ? start_ : end_ - back;
                run = static_cast<std::size_t>(std::min<std::uint64_t>({run, pre_ - position, end_ - from}));
            } else if (position < pre_ + source_.frames()) {
                from = position - pre_;
                run = static_cast<std::size_t>(std::min<std::uint64_t>(run, source_.frames() - from));
            } else {
                const std::uint64_t length = end_ - start_;
                from = start_ + (position - pre_ - source_.frames()) % length;
                run = static_cast<std::size_t>(std::min<std::uint64_t>(run, end_ - from));
            }
            source_.fill(from, run, out + done * channels_);
            done += run;
        }
    }

private:
    const LoopSource& source_;
    std::uint64_t start_;
    std::uint64_t end_;
    std::uint64_t pre_;
    std::uint64_t post_;
    std::size_t channels_;
};

// The sequence as floats, with every sample checked.
class DirectFeed : public EncoderFeed {
public:
    explicit DirectFeed(const WrappedFrames& sequence, std::size_t channels) : frames_(sequence), channels_(channels) {}

    std::size_t read(float* out, std::size_t count) override {
        const std::uint64_t left = frames_.total() - at_;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, left));
        block_.resize(n * channels_);
        frames_.fill(at_, n, block_.data());
        for (std::size_t i = 0; i < block_.size(); ++i) {
            if (!(std::fabs(block_[i]) <= kSampleLimit)) { // NaN fails too
                damaged = true;
                return 0; // the encoder ends here, and the write is refused
            }
            out[i] = static_cast<float>(block_[i]);
        }
        at_ += n;
        return n;
    }

    bool damaged = false;

private:
    const WrappedFrames& frames_;
    std::size_t channels_;
    std::uint64_t at_ = 0;
    std::vector<double> block_;
};

// The sequence resampled by libsoxr at its very high quality. Its output is
// aligned with its input (the filter's delay is taken out), so the file's
// first frame stays where the context ends; the count is cut or padded to
// exactly what the layout says.
class ResampledFeed : public EncoderFeed {
public:
    ResampledFeed(DirectFeed& direct, std::size_t channels, double ratio) : direct_(direct), channels_(channels) {
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
        resampler_ = soxr_create(1.0, ratio, static_cast<unsigned>(channels), &error, &io, &quality, nullptr);
        if (error != nullptr) {
            failure = std::string("the resampler would not start: ") + error;
            resampler_ = nullptr;
        }
    }
    ~ResampledFeed() override {
        if (resampler_ != nullptr) {
            soxr_delete(resampler_);
        }
    }
    ResampledFeed(const ResampledFeed&) = delete;
    ResampledFeed& operator=(const ResampledFeed&) = delete;

    std::size_t read(float* out, std::size_t count) override {
        const std::uint64_t wanted = total();
        std::size_t done = 0;
        while (done < count && given_ < wanted && resampler_ != nullptr && !failure && !exhausted_) {
            if (offset_ == pending_ && !ended_) {
                input_.resize(kBlockFrames * channels_);
                pending_ = direct_.read(input_.data(), kBlockFrames);
                offset_ = 0;
                ended_ = pending_ == 0;
            }
            // No input (a null block) asks the resampler for what it still holds.
            const float* in = ended_ ? nullptr : input_.data() + offset_ * channels_;
            const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, wanted - given_));
            std::size_t used = 0;
            std::size_t produced = 0;
            if (const soxr_error_t error = soxr_process(resampler_, in, ended_ ? 0 : pending_ - offset_, &used,
                                                        out + done * channels_, room, &produced)) {
                failure = std::string("the resampler failed: ") + error;
                break;
            }
            offset_ += used;
            done += produced;
            given_ += produced;
            exhausted_ = ended_ && produced == 0;
        }
        // Rounding may leave the resampler a frame short of the layout: silence.
        if (exhausted_ && done < count && given_ < wanted) {
            const auto pad = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, wanted - given_));
            std::fill(out + done * channels_, out + (done + pad) * channels_, 0.0f);
            done += pad;
            given_ += pad;
        }
        return done;
    }

    std::optional<std::string> failure;

private:
    DirectFeed& direct_;
    std::size_t channels_;
    soxr_t resampler_ = nullptr;
    std::vector<float> input_;
    std::size_t pending_ = 0; // frames in input_
    std::size_t offset_ = 0;  // of them, taken by the resampler
    std::uint64_t given_ = 0;
    bool ended_ = false;
    bool exhausted_ = false;
};


} // namespace

void ByteWriter::write(const void* data, std::size_t size) {
    if (failure_ || size == 0) {
        return;
    }
    const int error = target_.positioned
                          ? writeAllAt(target_.fd, data, size, target_.base + static_cast<off_t>(written_))
                          : writeAll(target_.fd, data, size);
    if (error != 0) {
        failure_ = systemErrorText(error);
        return;
    }
    written_ += size;
}

void ByteWriter::writePage(const ogg_page& page) {
    write(page.header, static_cast<std::size_t>(page.header_len));
    write(page.body, static_cast<std::size_t>(page.body_len));
}

void ByteWriter::mend(std::uint64_t offset, const void* data, std::size_t size) {
    if (failure_) {
        return;
    }
    if (const int error = writeAllAt(target_.fd, data, size, target_.base + static_cast<off_t>(offset))) {
        failure_ = systemErrorText(error);
    }
}

std::optional<LossyCodec> lossyCodecOf(int format) {
    const int container = format & SF_FORMAT_TYPEMASK;
    const int subtype = format & SF_FORMAT_SUBMASK;
    if (container == SF_FORMAT_OGG && subtype == SF_FORMAT_VORBIS) {
        return LossyCodec::Vorbis;
    }
    if (container == SF_FORMAT_OGG && subtype == SF_FORMAT_OPUS) {
        return LossyCodec::Opus;
    }
    if (container == SF_FORMAT_MPEG && subtype == SF_FORMAT_MPEG_LAYER_III) {
        return LossyCodec::Mp3;
    }
    return std::nullopt;
}

const char* lossyCodecName(LossyCodec codec) {
    switch (codec) {
    case LossyCodec::Vorbis: return "Vorbis";
    case LossyCodec::Opus: return "Opus";
    case LossyCodec::Mp3: return "MP3";
    }
    return "";
}

int oggSerialNumber() {
    std::random_device device;
    return static_cast<int>(device() & 0x7FFFFFFF);
}

int lossyRateFor(int format, int rate) {
    static const int kOpus[] = {8000, 12000, 16000, 24000, 48000};
    static const int kMp3[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    const std::optional<LossyCodec> codec = lossyCodecOf(format);
    const bool opus = codec == LossyCodec::Opus;
    if (!opus && codec != LossyCodec::Mp3) {
        return rate; // Vorbis carries any rate
    }
    const int* first = opus ? std::begin(kOpus) : std::begin(kMp3);
    const int* last = opus ? std::end(kOpus) : std::end(kMp3);
    const int* above = std::lower_bound(first, last, rate);
    return above == last ? *(last - 1) : *above;
}

Resampling resamplingFor(std::uint64_t frames, const std::optional<LoopPoints>& loop, int from, int to) {
    Resampling resampling;
    resampling.frames = frames;
    resampling.loop = loop;
    if (from == to || from <= 0 || to <= 0) {
        return resampling;
    }
    const std::uint64_t start = loop ? std::min(loop->start, frames) : 0;
    const std::uint64_t end = loop ? std::min(std::max(loop->end, start), frames) : frames;
    const std::uint64_t length = end - start;
    const double nominal = static_cast<double>(to) / from;
    const auto scaled = [](std::uint64_t count, double ratio) {
        return static_cast<std::uint64_t>(std::llround(static_cast<double>(count) * ratio));
    };
    const std::uint64_t newLength = length == 0 ? 0 : std::max<std::uint64_t>(1, scaled(length, nominal));
    resampling.ratio = length == 0 ? nominal : static_cast<double>(newLength) / static_cast<double>(length);
    const std::uint64_t newStart = scaled(start, resampling.ratio);
    resampling.frames = newStart + newLength + scaled(frames - end, resampling.ratio);
    if (loop) {
        resampling.loop = LoopPoints{newStart, newStart + newLength, loop->midiNote};
    }
    return resampling;
}

std::optional<std::string> writeLossy(const ByteTarget& target, const LoopSource& frames, int frameRate,
                                      const LossyOutput& output) {
    const std::uint64_t n = frames.frames();
    const std::uint64_t wrapStart = output.loop ? std::min(output.loop->start, n) : 0;
    const std::uint64_t wrapEnd = output.loop ? std::min(output.loop->end, n) : n;
    const bool loops = wrapEnd > wrapStart;
    const Resampling resampling = resamplingFor(n, output.loop, frameRate, output.sampleRate);
    const LossyCodec codec = lossyCodecOf(output.format).value_or(LossyCodec::Vorbis);
    const ContextWanted wanted = codec == LossyCodec::Opus  ? opusContext(output.sampleRate)
                                 : codec == LossyCodec::Mp3 ? mp3Context(output.sampleRate)
                                                            : vorbisContext(output.sampleRate);
    const double ratio = resampling.ratio;
    const auto atSourceRate = [&](std::uint64_t count) {
        return static_cast<std::uint64_t>(std::floor(static_cast<double>(count) / ratio));
    };
    const std::uint64_t pre = loops && wrapStart == 0 ? atSourceRate(wanted.pre) : 0;
    const std::uint64_t post = loops && wrapEnd == n ? atSourceRate(wanted.post) : 0;

    const WrappedFrames wrapped(frames, wrapStart, wrapEnd, pre, post);
    DirectFeed direct(wrapped, frames.channels());
    direct.pre = pre;
    direct.frames = n;
    direct.post = post;
    ByteWriter out(target);
    std::optional<std::string> failure;
    auto encode = [&](EncoderFeed& feed) {
        switch (codec) {
        case LossyCodec::Opus: return encodeOpus(out, feed, output);
        case LossyCodec::Mp3: return encodeMp3(out, feed, output);
        case LossyCodec::Vorbis: break;
        }
        return encodeVorbis(out, feed, output);
    };
    if (output.sampleRate == frameRate) {
        failure = encode(direct);
    } else {
        ResampledFeed resampled(direct, frames.channels(), ratio);
        resampled.pre = static_cast<std::uint64_t>(std::llround(static_cast<double>(pre) * ratio));
        resampled.frames = resampling.frames;
        resampled.post = static_cast<std::uint64_t>(std::llround(static_cast<double>(post) * ratio));
        failure = resampled.failure ? resampled.failure : encode(resampled);
        if (!failure && resampled.failure) {
            failure = resampled.failure;
        }
    }
    if (direct.damaged) {
        return std::string("a sample is not a number or louder than +36 dBFS, which the ") + lossyCodecName(codec) +
               " encoder cannot take; the input looks damaged";
    }
    if (failure) {
        return failure;
    }
    return out.failure();
}

std::vector<std::string> stringSetAsComments(const std::vector<std::pair<int, std::string>>& strings) {
    std::vector<std::string> comments;
    for (const auto& [type, value] : strings) {
        const char* name = nullptr;
        switch (type) {
        case SF_STR_TITLE: name = "TITLE"; break;
        case SF_STR_COPYRIGHT: name = "COPYRIGHT"; break;
        case SF_STR_SOFTWARE: name = "SOFTWARE"; break;
        case SF_STR_ARTIST: name = "ARTIST"; break;
        case SF_STR_COMMENT: name = "COMMENT"; break;
        case SF_STR_DATE: name = "DATE"; break;
        case SF_STR_ALBUM: name = "ALBUM"; break;
        case SF_STR_LICENSE: name = "LICENSE"; break;
        case SF_STR_TRACKNUMBER: name = "TRACKNUMBER"; break;
        case SF_STR_GENRE: name = "GENRE"; break;
        default: break;
        }
        if (name != nullptr) {
            comments.push_back(std::string(name) + "=" + value);
        }
    }
    return comments;
}

} // namespace sorvane
