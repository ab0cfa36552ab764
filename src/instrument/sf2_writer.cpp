#include "instrument/sf2_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "files/file_descriptor.hpp"

// The bank is written here rather than through libinstpatch: that library
// would bring GLib's object system into the core every program links, for
// a file that is a few fixed records and the samples in a row.
#include "escape/escape.hpp"

namespace sorvane {

namespace {

// Each sample is followed by 46 zero points, for the players' interpolators.
constexpr std::uint32_t kZeroPoints = 46;

enum Generator : std::uint16_t {
    kPan = 17,
    kReleaseVolEnv = 38,
    kInstrument = 41,
    kKeyRange = 43,
    kVelRange = 44,
    kSampleId = 53,
    kSampleModes = 54,
    kOverridingRootKey = 58,
};
enum SampleType : std::uint16_t { kMono = 1, kRight = 2, kLeft = 4 };

// Little-endian records, built up in memory (everything but the samples).
class Bytes {
public:
    Bytes& u8(std::uint8_t v) {
        data_.push_back(v);
        return *this;
    }
    Bytes& u16(std::uint16_t v) { return u8(static_cast<std::uint8_t>(v & 0xFF)).u8(static_cast<std::uint8_t>(v >> 8)); }
    Bytes& i16(std::int16_t v) { return u16(static_cast<std::uint16_t>(v)); }
    Bytes& u32(std::uint32_t v) { return u16(static_cast<std::uint16_t>(v & 0xFFFF)).u16(static_cast<std::uint16_t>(v >> 16)); }
    Bytes& tag(const char* fourCc) {
        data_.insert(data_.end(), fourCc, fourCc + 4);
        return *this;
    }
    // A fixed field of `size` bytes, cut or padded with zeros.
    Bytes& name(const std::string& text, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            u8(i < text.size() && i + 1 < size ? static_cast<std::uint8_t>(text[i]) : 0);
        }
        return *this;
    }
    Bytes& append(const Bytes& other) {
        data_.insert(data_.end(), other.data_.begin(), other.data_.end());
        return *this;
    }
    // A chunk: its id, its size and its body, padded to an even length.
    Bytes& chunk(const char* id, const Bytes& body) {
        tag(id).u32(static_cast<std::uint32_t>(body.size())).append(body);
        if (body.size() % 2 != 0) {
            u8(0);
        }
        return *this;
    }
    Bytes& list(const char* type, const Bytes& body) {
        Bytes inner;
        inner.tag(type).append(body);
        return chunk("LIST", inner);
    }
    std::size_t size() const { return data_.size(); }
    const std::uint8_t* data() const { return data_.data(); }

private:
    std::vector<std::uint8_t> data_;
};

// A zero-terminated text of even length, as INFO holds them.
Bytes infoText(const std::string& text) {
    Bytes body;
    body.name(text, text.size() + (text.size() % 2 == 0 ? 2 : 1));
    return body;
}

std::int16_t releaseTimecents(double seconds) {
    const double cents = 1200.0 * std::log2(std::max(seconds, 0.001));
    return static_cast<std::int16_t>(std::clamp(std::lround(cents), -12000L, 8000L));
}

// Writes `count` bytes through a buffer, so that samples go out in large writes.
class Sink {
public:
    explicit Sink(int fd) : fd_(fd) { buffer_.reserve(kSize); }
    void put(const void* data, std::size_t count) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        while (count > 0 && error_ == 0) {
            const std::size_t part = std::min(count, kSize - buffer_.size());
            buffer_.insert(buffer_.end(), bytes, bytes + part);
            bytes += part;
            count -= part;
            if (buffer_.size() == kSize) {
                flush();
            }
        }
    }
    int flush() {
        if (error_ == 0 && !buffer_.empty()) {
            error_ = writeAll(fd_, buffer_.data(), buffer_.size());
        }
        buffer_.clear();
        return error_;
    }

private:
    static constexpr std::size_t kSize = 1 << 18;
    int fd_;
    int error_ = 0;
    std::vector<std::uint8_t> buffer_;
};

} // namespace

std::optional<std::string> writeSoundFont(int fd, const Instrument& instrument, const std::vector<SampleWords>& words,
                                          const std::string& software) {
    // Where each channel of each sample lies among the sample points.
    std::vector<std::uint32_t> offsets;
    std::uint64_t points = 0;
    bool deep = false;
    for (std::size_t i = 0; i < instrument.samples.size(); ++i) {
        const InstrumentSample& s = instrument.samples[i];
        deep = deep || !words[i].lower.empty();
        for (int c = 0; c < s.channels; ++c) {
            offsets.push_back(static_cast<std::uint32_t>(points));
            points += s.frames + kZeroPoints;
        }
    }
    if (2 * points + (deep ? points + 1 : 0) + 4096 > 0xFFFFFFF0ULL) {
        return std::string("the samples are too long for a SoundFont (4 GiB at most)");
    }

    Bytes info;
    info.chunk("ifil", Bytes().u16(2).u16(4));
    info.chunk("isng", infoText("EMU8000"));
    info.chunk("INAM", infoText(instrument.name.empty() ? "sorvane" : sf2Text(instrument.name)));
    info.chunk("ISFT", infoText(software));

    Bytes shdr;
    Bytes igen;
    Bytes ibag;
    std::uint16_t generators = 0;
    std::uint16_t zones = 0;
    std::size_t index = 0;
    for (const InstrumentSample& s : instrument.samples) {
        const auto first = static_cast<std::uint16_t>(index);
        for (int c = 0; c < s.channels; ++c, ++index) {
            const std::uint32_t at = offsets[index];
            const bool stereo = s.channels == 2;
            const std::string suffix = stereo ? (c == 0 ? "-L" : "-R") : "";
            shdr.name(sf2Text(s.name).substr(0, 19 - suffix.size()) + suffix, 20)
                .u32(at)
                .u32(at + static_cast<std::uint32_t>(s.frames))
                .u32(at + static_cast<std::uint32_t>(s.loopStart))
                .u32(at + static_cast<std::uint32_t>(s.loopEnd))
                .u32(static_cast<std::uint32_t>(s.sampleRate))
                .u8(static_cast<std::uint8_t>(std::clamp(s.root, 0, 127)))
                .u8(static_cast<std::uint8_t>(static_cast<std::int8_t>(std::clamp(s.tuneCents, -99, 99))))
                .u16(stereo ? static_cast<std::uint16_t>(first + (c == 0 ? 1 : 0)) : 0)
                .u16(!stereo ? kMono : c == 0 ? kLeft : kRight);

            ibag.u16(generators).u16(0);
            ++zones;
            // Key and velocity ranges lead a zone; the sample ends it.
            igen.u16(kKeyRange).u8(static_cast<std::uint8_t>(s.zone.lowKey)).u8(static_cast<std::uint8_t>(s.zone.highKey));
            igen.u16(kVelRange)
                .u8(static_cast<std::uint8_t>(s.zone.lowVelocity))
                .u8(static_cast<std::uint8_t>(s.zone.highVelocity));
            generators += 2;
            if (stereo) {
                igen.u16(kPan).i16(c == 0 ? -500 : 500);
                ++generators;
            }
            igen.u16(kReleaseVolEnv).i16(releaseTimecents(s.releaseSeconds));
            igen.u16(kSampleModes).u16(3);
            igen.u16(kOverridingRootKey).i16(static_cast<std::int16_t>(std::clamp(s.root, 0, 127)));
            igen.u16(kSampleId).u16(static_cast<std::uint16_t>(index));
            generators += 4;
        }
    }
    shdr.name("EOS", 20).u32(0).u32(0).u32(0).u32(0).u32(0).u8(0).u8(0).u16(0).u16(0);
    ibag.u16(generators).u16(0);
    igen.u16(0).u16(0);

    Bytes pdta;
    pdta.chunk("phdr", Bytes()
                           .name(instrument.name.empty() ? "sorvane" : sf2Text(instrument.name), 20)
                           .u16(0).u16(0).u16(0).u32(0).u32(0).u32(0)
                           .name("EOP", 20)
                           .u16(0).u16(0).u16(1).u32(0).u32(0).u32(0));
    pdta.chunk("pbag", Bytes().u16(0).u16(0).u16(1).u16(0));
    pdta.chunk("pmod", Bytes().u16(0).u16(0).u16(0).u16(0).u16(0));
    pdta.chunk("pgen", Bytes().u16(kInstrument).u16(0).u16(0).u16(0));
    pdta.chunk("inst", Bytes()
                           .name(instrument.name.empty() ? "sorvane" : sf2Text(instrument.name), 20)
                           .u16(0)
                           .name("EOI", 20)
                           .u16(zones));
    pdta.chunk("ibag", ibag);
    pdta.chunk("imod", Bytes().u16(0).u16(0).u16(0).u16(0).u16(0));
    pdta.chunk("igen", igen);
    pdta.chunk("shdr", shdr);

    const std::uint64_t smplBytes = 2 * points;
    const std::uint64_t sm24Bytes = deep ? points + points % 2 : 0;
    const std::uint64_t sdtaBytes = 4 + 8 + smplBytes + (deep ? 8 + sm24Bytes : 0);
    Bytes head;
    Bytes infoList;
    infoList.list("INFO", info);
    Bytes pdtaList;
    pdtaList.list("pdta", pdta);
    const std::uint64_t riffBytes = 4 + infoList.size() + 8 + sdtaBytes + pdtaList.size();
    head.tag("RIFF").u32(static_cast<std::uint32_t>(riffBytes)).tag("sfbk").append(infoList);
    head.tag("LIST").u32(static_cast<std::uint32_t>(sdtaBytes)).tag("sdta");
    head.tag("smpl").u32(static_cast<std::uint32_t>(smplBytes));

    Sink sink(fd);
    sink.put(head.data(), head.size());
    const std::vector<std::uint8_t> zeros(2 * kZeroPoints, 0);
    for (std::size_t i = 0; i < instrument.samples.size(); ++i) {
        for (const std::vector<std::int16_t>& channel : words[i].upper) {
            std::vector<std::uint8_t> little(2 * channel.size());
            for (std::size_t k = 0; k < channel.size(); ++k) {
                const auto v = static_cast<std::uint16_t>(channel[k]);
                little[2 * k] = static_cast<std::uint8_t>(v & 0xFF);
                little[2 * k + 1] = static_cast<std::uint8_t>(v >> 8);
            }
            sink.put(little.data(), little.size());
            sink.put(zeros.data(), zeros.size());
        }
    }
    if (deep) {
        Bytes sm24;
        sm24.tag("sm24").u32(static_cast<std::uint32_t>(sm24Bytes));
        sink.put(sm24.data(), sm24.size());
        for (std::size_t i = 0; i < instrument.samples.size(); ++i) {
            for (int c = 0; c < instrument.samples[i].channels; ++c) {
                if (words[i].lower.empty()) {
                    const std::vector<std::uint8_t> none(instrument.samples[i].frames, 0);
                    sink.put(none.data(), none.size());
                } else {
                    const std::vector<std::uint8_t>& lower = words[i].lower[static_cast<std::size_t>(c)];
                    sink.put(lower.data(), lower.size());
                }
                sink.put(zeros.data(), kZeroPoints);
            }
        }
        if (points % 2 != 0) {
            sink.put(zeros.data(), 1);
        }
    }
    sink.put(pdtaList.data(), pdtaList.size());
    if (const int error = sink.flush(); error != 0) {
        return systemErrorText(error);
    }
    return std::nullopt;
}

} // namespace sorvane
