#include "metadata/flac_blocks.hpp"

#include <cstring>

#include <taglib/tbytevector.h>

#include "files/file_descriptor.hpp"
#include "metadata/descriptor_stream.hpp"

namespace sorvane {

namespace {

constexpr std::uint32_t kLargestBlock = (1U << 24) - 1;

} // namespace

std::optional<FlacMetadata> readFlacMetadata(const FileReader& file) {
    FlacMetadata metadata;
    Bytes head;
    std::uint64_t at = 0;
    // ID3v2 tags, which some taggers put before the stream.
    while (at + 10 <= file.size() && !file.read(at, 10, head) && std::memcmp(head.data(), "ID3", 3) == 0) {
        const std::uint64_t size = (std::uint64_t{head[6]} & 0x7F) << 21 | (std::uint64_t{head[7]} & 0x7F) << 14 |
                                   (std::uint64_t{head[8]} & 0x7F) << 7 | (std::uint64_t{head[9]} & 0x7F);
        const std::uint64_t whole = 10 + size + ((head[5] & 0x10) != 0 ? 10 : 0);
        if (whole > file.size() - at) {
            return std::nullopt;
        }
        Bytes tag;
        if (file.read(at, static_cast<std::size_t>(whole), tag)) {
            return std::nullopt;
        }
        metadata.id3v2.insert(metadata.id3v2.end(), tag.begin(), tag.end());
        at += whole;
    }
    if (at + 4 > file.size() || file.read(at, 4, head) || std::memcmp(head.data(), "fLaC", 4) != 0) {
        return std::nullopt;
    }
    at += 4;
    for (bool last = false; !last;) {
        if (at + 4 > file.size() || file.read(at, 4, head)) {
            return std::nullopt;
        }
        last = (head[0] & 0x80) != 0;
        const std::uint32_t size = std::uint32_t{head[1]} << 16 | std::uint32_t{head[2]} << 8 | head[3];
        if (size > file.size() - at - 4) {
            return std::nullopt;
        }
        FlacBlock block;
        block.type = head[0] & 0x7FU;
        if (file.read(at + 4, size, block.data)) {
            return std::nullopt;
        }
        metadata.blocks.push_back(std::move(block));
        at += 4 + size;
    }
    metadata.audioOffset = at;
    return metadata;
}

std::optional<std::string> rewriteFlacMetadata(int fd, off_t base, std::uint64_t oldAudioOffset,
                                               const FlacMetadata& metadata) {
    if (metadata.blocks.empty() || metadata.blocks.front().type != kFlacStreamInfo) {
        return std::string("the FLAC stream would lose its STREAMINFO block");
    }
    TagLib::ByteVector header(reinterpret_cast<const char*>(metadata.id3v2.data()),
                              static_cast<unsigned>(metadata.id3v2.size()));
    header.append(TagLib::ByteVector("fLaC", 4));
    for (std::size_t i = 0; i < metadata.blocks.size(); ++i) {
        const FlacBlock& block = metadata.blocks[i];
        if (block.data.size() > kLargestBlock) {
            return "a FLAC metadata block of " + std::to_string(block.data.size()) + " bytes is larger than FLAC allows";
        }
        const auto size = static_cast<std::uint32_t>(block.data.size());
        const char bytes[4] = {static_cast<char>((i + 1 == metadata.blocks.size() ? 0x80U : 0U) | block.type),
                               static_cast<char>(size >> 16), static_cast<char>(size >> 8), static_cast<char>(size)};
        header.append(TagLib::ByteVector(bytes, 4));
        header.append(TagLib::ByteVector(reinterpret_cast<const char*>(block.data.data()), size));
    }
    DescriptorStream stream(fd, base);
    stream.insert(header, 0, static_cast<unsigned long>(oldAudioOffset));
    return stream.error() != 0 ? std::optional<std::string>(systemErrorText(stream.error())) : std::nullopt;
}

} // namespace sorvane
