// MP3 through libmp3lame directly: the context on either side of the file
// is left out by the encoder delay and padding of the LAME header, which
// libmpg123, ffmpeg and libsndfile honour; LAME has no way to be told of
// context, so its header is mended once the stream is complete.

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include <lame/lame.h>
#include <sndfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/tpropertymap.h>
#include <taglib/tstring.h>
#include <taglib/tstringlist.h>

#include "audio_io/lossy_encoders.hpp"

namespace sorvane {

namespace {

struct LameDeleter {
    void operator()(lame_global_flags* flags) const { lame_close(flags); }
};

// The CRC the LAME header ends with (CRC-16 with the reflected polynomial
// 0xA001, starting from 0), over the frame's bytes before it.
std::uint16_t lameTagCrc(const unsigned char* bytes, std::size_t size) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1);
        }
    }
    return crc;
}

// Sets the encoder delay and padding of the LAME header in the stream's
// first frame, and its CRC. False when the frame holds no such header.
bool setDelayAndPadding(std::vector<unsigned char>& frame, std::uint32_t delay, std::uint32_t padding) {
    for (std::size_t at = 4; at + 4 <= frame.size() && at < 64; ++at) {
        if (std::memcmp(&frame[at], "Info", 4) != 0 && std::memcmp(&frame[at], "Xing", 4) != 0) {
            continue;
        }
        // "Info" and its flags, frame count, byte count, seek table and quality.
        const std::size_t lame = at + 120;
        constexpr std::size_t kDelay = 21;
        constexpr std::size_t kCrc = 34;
        if (frame[at + 7] != 0x0F || lame + kCrc + 2 > frame.size()) {
            return false;
        }
        frame[lame + kDelay] = static_cast<unsigned char>(delay >> 4);
        frame[lame + kDelay + 1] = static_cast<unsigned char>(((delay & 0x0F) << 4) | (padding >> 8));
        frame[lame + kDelay + 2] = static_cast<unsigned char>(padding & 0xFF);
        const std::uint16_t crc = lameTagCrc(frame.data(), lame + kCrc);
        frame[lame + kCrc] = static_cast<unsigned char>(crc >> 8);
        frame[lame + kCrc + 1] = static_cast<unsigned char>(crc & 0xFF);
        return true;
    }
    return false;
}

// The string set as an ID3v2 tag, the tag MP3 players read.
TagLib::ByteVector id3v2Of(const std::vector<std::pair<int, std::string>>& strings) {
    TagLib::PropertyMap properties;
    for (const std::string& comment : stringSetAsComments(strings)) {
        const std::size_t equals = comment.find('=');
        properties.insert(comment.substr(0, equals),
                          TagLib::StringList(TagLib::String(comment.substr(equals + 1), TagLib::String::UTF8)));
    }
    TagLib::ID3v2::Tag tag;
    tag.setProperties(properties);
    return tag.isEmpty() ? TagLib::ByteVector() : tag.render();
}

} // namespace

ContextWanted mp3Context(int rate) {
    // The header keeps the delay and padding in 12 bits each (4095 frames),
    // of which LAME takes 576 and up to 1728 frames itself. Two MP3 frames
    // before the file, more than the transform of one spans; no more, so
    // that libmpg123 need not skip frames whose bit reservoir the first it
    // decodes reads from. 1536 frames after it.
    const std::uint64_t frame = rate >= 32000 ? 1152 : 576;
    return {2 * frame, 1536};
}

std::optional<std::string> encodeMp3(ByteWriter& out, EncoderFeed& feed, const LossyOutput& output) {
    std::unique_ptr<lame_global_flags, LameDeleter> lame(lame_init());
    if (!lame) {
        return std::string("the MP3 encoder would not start");
    }
    lame_global_flags* flags = lame.get();
    lame_set_num_channels(flags, output.channels);
    lame_set_in_samplerate(flags, output.sampleRate);
    lame_set_out_samplerate(flags, output.sampleRate);
    lame_set_mode(flags, output.channels == 1 ? MONO : JOINT_STEREO);
    if (output.encoder.mp3Kbps) {
        lame_set_VBR(flags, vbr_off);
        lame_set_brate(flags, *output.encoder.mp3Kbps);
    } else {
        lame_set_VBR(flags, vbr_default);
        lame_set_VBR_quality(flags, static_cast<float>(output.encoder.mp3VbrLevel.value_or(2)));
    }
    lame_set_bWriteVbrTag(flags, 1);
    lame_set_write_id3tag_automatic(flags, 0);
    if (lame_init_params(flags) < 0) {
        return "the MP3 encoder does not take " + std::to_string(output.sampleRate) + " Hz";
    }

    // Bytes of a stream that cannot be mended in place are held until the
    // header is complete.
    std::vector<unsigned char> held;
    auto emit = [&](const unsigned char* data, std::size_t size) {
        if (out.canMend()) {
            out.write(data, size);
        } else {
            held.insert(held.end(), data, data + size);
        }
    };
    const TagLib::ByteVector id3 = id3v2Of(output.strings);
    emit(reinterpret_cast<const unsigned char*>(id3.data()), id3.size());
    const std::uint64_t streamStart = id3.size();

    constexpr std::size_t kFrames = 4096;
    const std::size_t channels = static_cast<std::size_t>(output.channels);
    std::vector<float> block(kFrames * channels);
    std::vector<float> left(kFrames);
    std::vector<float> right(kFrames);
    std::vector<unsigned char> encoded(kFrames * 5 / 4 + 7200);
    for (;;) {
        const std::size_t got = feed.read(block.data(), kFrames);
        if (got == 0) {
            break;
        }
        for (std::size_t f = 0; f < got; ++f) {
            left[f] = block[f * channels];
            right[f] = block[f * channels + channels - 1];
        }
        const int bytes = lame_encode_buffer_ieee_float(flags, left.data(), right.data(), static_cast<int>(got),
                                                        encoded.data(), static_cast<int>(encoded.size()));
        if (bytes < 0) {
            return "the MP3 encoder failed (" + std::to_string(bytes) + ")";
        }
        emit(encoded.data(), static_cast<std::size_t>(bytes));
        if (out.failure()) {
            return std::nullopt;
        }
    }
    const int flushed = lame_encode_flush(flags, encoded.data(), static_cast<int>(encoded.size()));
    if (flushed < 0) {
        return "the MP3 encoder failed (" + std::to_string(flushed) + ")";
    }
    emit(encoded.data(), static_cast<std::size_t>(flushed));

    std::vector<unsigned char> header(2880);
    header.resize(lame_get_lametag_frame(flags, header.data(), header.size()));
    const auto delay = static_cast<std::uint64_t>(lame_get_encoder_delay(flags)) + feed.pre;
    const auto padding = static_cast<std::uint64_t>(lame_get_encoder_padding(flags)) + feed.post;
    if (delay > 0xFFF || padding > 0xFFF) {
        return std::string("the MP3 header cannot hold the encoder's delay and padding");
    }
    if (header.empty() || !setDelayAndPadding(header, static_cast<std::uint32_t>(delay),
                                              static_cast<std::uint32_t>(padding))) {
        return std::string("the MP3 encoder wrote no LAME header");
    }
    if (out.canMend()) {
        out.mend(streamStart, header.data(), header.size());
    } else {
        if (held.size() < streamStart + header.size()) {
            return std::string("the MP3 encoder wrote no LAME header");
        }
        std::copy(header.begin(), header.end(), held.begin() + static_cast<std::ptrdiff_t>(streamStart));
        out.write(held.data(), held.size());
    }
    return std::nullopt;
}

} // namespace sorvane
