// Ogg Vorbis through libvorbis and libogg directly: libsndfile's encoder
// cannot be given context it must not write, nor trim the file's start.

#include <algorithm>
#include <cstdio>
#include <vector>

#include <vorbis/vorbisenc.h>

#include "audio_io/lossy_encoders.hpp"

namespace sorvane {

namespace {

// libvorbis and libogg state, cleared on every way out.
struct VorbisState {
    vorbis_info info{};
    vorbis_comment comment{};
    vorbis_dsp_state dsp{};
    vorbis_block block{};
    ogg_stream_state stream{};
    bool dspReady = false;
    bool streamReady = false;

    VorbisState() {
        vorbis_info_init(&info);
        vorbis_comment_init(&comment);
    }
    ~VorbisState() {
        if (streamReady) {
            ogg_stream_clear(&stream);
        }
        if (dspReady) {
            vorbis_block_clear(&block);
            vorbis_dsp_clear(&dsp);
        }
        vorbis_comment_clear(&comment);
        vorbis_info_clear(&info);
    }
    VorbisState(const VorbisState&) = delete;
    VorbisState& operator=(const VorbisState&) = delete;
};

} // namespace

ContextWanted vorbisContext(int rate) {
    // Before the file: as much as the encoder keeps ahead of its first
    // frame (half a long block, at most 4096 frames). After it: at least two
    // long blocks, cut off by the last page's granule position.
    return {4096, std::max<std::uint64_t>(4096, static_cast<std::uint64_t>(rate) / 10)};
}

std::optional<std::string> encodeVorbis(ByteWriter& out, EncoderFeed& feed, const LossyOutput& output) {
    VorbisState vorbis;
    const double quality = output.encoder.vorbisQuality.value_or(6.0);
    if (vorbis_encode_init_vbr(&vorbis.info, output.channels, output.sampleRate, static_cast<float>(quality / 10.0)) !=
        0) {
        char text[96];
        std::snprintf(text, sizeof text, "the Vorbis encoder does not take %d Hz at quality %.1f", output.sampleRate,
                      quality);
        return std::string(text);
    }
    for (const std::string& comment : stringSetAsComments(output.strings)) {
        vorbis_comment_add(&vorbis.comment, comment.c_str());
    }
    vorbis_analysis_init(&vorbis.dsp, &vorbis.info);
    vorbis_block_init(&vorbis.dsp, &vorbis.block);
    vorbis.dspReady = true;
    const std::size_t channels = static_cast<std::size_t>(output.channels);
    // The encoder's first block reaches back half a long block before the
    // first frame, into a lead that no decoder plays (the first packet only
    // primes the overlap): libvorbis fills it by extrapolating the first
    // frames backwards. Decoders ignore a granule position that would cut
    // context from the start of a Vorbis stream, so the context before the
    // file goes there instead: what a player plays before the first frame.
    // The lead is the part of the encoder's buffer before pcm_current.
    if (feed.pre > 0) {
        std::vector<float> before(feed.pre * channels);
        std::size_t got = 0;
        while (got < feed.pre) {
            const std::size_t n = feed.read(before.data() + got * channels, feed.pre - got);
            if (n == 0) {
                break;
            }
            got += n;
        }
        const auto lead = static_cast<std::size_t>(std::max(0, vorbis.dsp.pcm_current));
        for (std::size_t i = 0; i < lead && i < got; ++i) {
            const std::size_t from = got - 1 - i;
            for (std::size_t c = 0; c < channels; ++c) {
                vorbis.dsp.pcm[c][lead - 1 - i] = before[from * channels + c];
            }
        }
        vorbis.dsp.preextrapolate = 1; // keep the context: do not extrapolate over it
    }
    ogg_stream_init(&vorbis.stream, oggSerialNumber());
    vorbis.streamReady = true;

    ogg_packet identification;
    ogg_packet comments;
    ogg_packet setup;
    vorbis_analysis_headerout(&vorbis.dsp, &vorbis.comment, &identification, &comments, &setup);
    ogg_page page;
    // The identification header alone on the first page, the comments and
    // the setup ending the next before any audio, as Vorbis in Ogg has them.
    ogg_stream_packetin(&vorbis.stream, &identification);
    while (ogg_stream_flush(&vorbis.stream, &page) != 0) {
        out.writePage(page);
    }
    ogg_stream_packetin(&vorbis.stream, &comments);
    ogg_stream_packetin(&vorbis.stream, &setup);
    while (ogg_stream_flush(&vorbis.stream, &page) != 0) {
        out.writePage(page);
    }

    // Granule positions count the file's frames: the context after it is
    // left out by the last page ending at the file's length.
    const auto length = static_cast<ogg_int64_t>(feed.frames);
    bool ended = false;
    // The first audio page ends as soon as a packet gives frames, so that
    // the last page, whose lower position trims the end, is never also the
    // first: ffmpeg reads a first page's lower position as a cut at the start.
    bool firstPageOut = false;
    auto flush = [&] {
        while (ogg_stream_flush(&vorbis.stream, &page) != 0) {
            out.writePage(page);
        }
    };
    auto takePacket = [&](ogg_packet& packet) {
        if (ended) {
            return;
        }
        ogg_int64_t position = packet.granulepos;
        if (position >= length) {
            position = length;
            packet.e_o_s = 1;
            ended = true;
            if (!firstPageOut) {
                flush();
            }
        }
        packet.granulepos = position;
        ogg_stream_packetin(&vorbis.stream, &packet);
        if (ended || (!firstPageOut && position > 0)) {
            flush();
            firstPageOut = true;
        } else {
            while (ogg_stream_pageout(&vorbis.stream, &page) != 0) {
                out.writePage(page);
            }
        }
    };

    constexpr std::size_t kFrames = 1024;
    std::vector<float> block(kFrames * channels);
    while (!ended && !out.failure()) {
        const std::size_t got = feed.read(block.data(), kFrames);
        if (got > 0) {
            float** buffer = vorbis_analysis_buffer(&vorbis.dsp, static_cast<int>(got));
            for (std::size_t f = 0; f < got; ++f) {
                for (std::size_t c = 0; c < channels; ++c) {
                    buffer[c][f] = block[f * channels + c];
                }
            }
        }
        vorbis_analysis_wrote(&vorbis.dsp, static_cast<int>(got));
        while (vorbis_analysis_blockout(&vorbis.dsp, &vorbis.block) == 1) {
            vorbis_analysis(&vorbis.block, nullptr);
            vorbis_bitrate_addblock(&vorbis.block);
            ogg_packet packet;
            while (vorbis_bitrate_flushpacket(&vorbis.dsp, &packet) != 0) {
                takePacket(packet);
            }
        }
        if (got == 0) {
            break;
        }
    }
    if (!ended && !out.failure()) {
        return std::string("the Vorbis encoder ended before the file did");
    }
    return std::nullopt;
}

} // namespace sorvane
