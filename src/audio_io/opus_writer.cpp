// Ogg Opus through libopus and libogg directly: the pre-skip leaves out the
// context before the file as well as the encoder's look-ahead, which
// libsndfile's encoder cannot be told of.

#include <algorithm>
#include <memory>
#include <vector>

#include <opus/opus.h>

#include "audio_io/lossy_encoders.hpp"
#include "metadata/vorbis_comment.hpp"

namespace sorvane {

namespace {

struct OpusEncoderDeleter {
    void operator()(OpusEncoder* encoder) const { opus_encoder_destroy(encoder); }
};

struct OggStream {
    ogg_stream_state state{};
    explicit OggStream(int serial) { ogg_stream_init(&state, serial); }
    ~OggStream() { ogg_stream_clear(&state); }
    OggStream(const OggStream&) = delete;
    OggStream& operator=(const OggStream&) = delete;
};

void putLittle(std::vector<unsigned char>& bytes, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

// libogg copies the bytes when the packet goes in.
ogg_packet packetOf(unsigned char* bytes, std::size_t size, ogg_int64_t granule, ogg_int64_t number, bool first,
                    bool last) {
    ogg_packet packet{};
    packet.packet = bytes;
    packet.bytes = static_cast<long>(size);
    packet.b_o_s = first ? 1 : 0;
    packet.e_o_s = last ? 1 : 0;
    packet.granulepos = granule;
    packet.packetno = number;
    return packet;
}

} // namespace

ContextWanted opusContext(int rate) {
    // 100 ms: five of the 20 ms frames, far more than the 2.5 ms the frames
    // overlap by and the look-ahead.
    const auto context = static_cast<std::uint64_t>(rate) / 10;
    return {context, context};
}

std::optional<std::string> encodeOpus(ByteWriter& out, EncoderFeed& feed, const LossyOutput& output) {
    const int rate = output.sampleRate;
    const int channels = output.channels;
    int error = OPUS_OK;
    std::unique_ptr<OpusEncoder, OpusEncoderDeleter> encoder(
        opus_encoder_create(rate, channels, OPUS_APPLICATION_AUDIO, &error));
    if (error != OPUS_OK || !encoder) {
        return std::string("the Opus encoder would not start: ") + opus_strerror(error);
    }
    const int kbps = output.encoder.opusKbps.value_or(64 * channels);
    opus_encoder_ctl(encoder.get(), OPUS_SET_BITRATE(kbps * 1000));
    opus_encoder_ctl(encoder.get(), OPUS_SET_VBR(1));
    opus_encoder_ctl(encoder.get(), OPUS_SET_COMPLEXITY(10));
    opus_int32 lookahead = 0;
    opus_encoder_ctl(encoder.get(), OPUS_GET_LOOKAHEAD(&lookahead));

    // Positions in an Ogg Opus file count 48 kHz samples, whatever the rate.
    const int scale = 48000 / rate;
    const std::uint64_t skipped = static_cast<std::uint64_t>(lookahead) + feed.pre; // at the file's rate
    const std::uint64_t preSkip = skipped * static_cast<std::uint64_t>(scale);
    if (preSkip > 0xFFFF) {
        return std::string("the Opus pre-skip would pass its limit");
    }

    OggStream stream(oggSerialNumber());
    ogg_page page;
    std::vector<unsigned char> head = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, static_cast<unsigned char>(channels)};
    putLittle(head, static_cast<std::uint32_t>(preSkip), 2);
    putLittle(head, static_cast<std::uint32_t>(rate), 4); // what libsndfile decodes it at
    putLittle(head, 0, 2);                                // no output gain
    head.push_back(0);                                    // mono or stereo, no mapping table
    ogg_packet headPacket = packetOf(head.data(), head.size(), 0, 0, true, false);
    ogg_stream_packetin(&stream.state, &headPacket);
    while (ogg_stream_flush(&stream.state, &page) != 0) {
        out.writePage(page);
    }
    VorbisComment tags;
    tags.vendor = opus_get_version_string();
    tags.comments = stringSetAsComments(output.strings);
    const Bytes rendered = renderVorbisComment(tags);
    std::vector<unsigned char> tagBytes = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
    tagBytes.insert(tagBytes.end(), rendered.begin(), rendered.end());
    ogg_packet tagPacket = packetOf(tagBytes.data(), tagBytes.size(), 0, 1, false, false);
    ogg_stream_packetin(&stream.state, &tagPacket);
    while (ogg_stream_flush(&stream.state, &page) != 0) {
        out.writePage(page);
    }

    // Frames of 20 ms until the decoder has given every frame of the file;
    // the last page's position cuts what the last frame holds beyond it.
    const auto frameSize = static_cast<std::size_t>(rate / 50);
    const std::uint64_t needed = skipped + feed.frames;
    std::vector<float> pcm(frameSize * static_cast<std::size_t>(channels));
    std::vector<unsigned char> packet(4000);
    std::uint64_t decoded = 0;
    ogg_int64_t number = 2;
    while (decoded < needed && !out.failure()) {
        std::size_t got = 0;
        while (got < frameSize) {
            const std::size_t n = feed.read(pcm.data() + got * static_cast<std::size_t>(channels), frameSize - got);
            if (n == 0) {
                break;
            }
            got += n;
        }
        std::fill(pcm.begin() + static_cast<std::ptrdiff_t>(got * static_cast<std::size_t>(channels)), pcm.end(),
                  0.0f);
        const opus_int32 bytes = opus_encode_float(encoder.get(), pcm.data(), static_cast<int>(frameSize),
                                                   packet.data(), static_cast<opus_int32>(packet.size()));
        if (bytes < 0) {
            return std::string("the Opus encoder failed: ") + opus_strerror(bytes);
        }
        decoded += frameSize;
        const bool last = decoded >= needed;
        const std::uint64_t position = (last ? needed : decoded) * static_cast<std::uint64_t>(scale);
        ogg_packet audio = packetOf(packet.data(), static_cast<std::size_t>(bytes), static_cast<ogg_int64_t>(position),
                                    number++, false, last);
        ogg_stream_packetin(&stream.state, &audio);
        while ((last ? ogg_stream_flush(&stream.state, &page) : ogg_stream_pageout(&stream.state, &page)) != 0) {
            out.writePage(page);
        }
    }
    return std::nullopt;
}

} // namespace sorvane
