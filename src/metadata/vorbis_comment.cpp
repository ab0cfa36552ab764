#include "metadata/vorbis_comment.hpp"

#include <algorithm>
#include <cctype>

namespace sorvane {

std::optional<VorbisComment> parseVorbisComment(const Bytes& bytes, std::size_t at) {
    VorbisComment comment;
    auto text = [&](std::string& into) {
        if (bytes.size() < at + 4) {
            return false;
        }
        const std::uint32_t length = little32(bytes, at);
        if (bytes.size() - at - 4 < length) {
            return false;
        }
        into.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + 4 + length));
        at += 4 + length;
        return true;
    };
    if (!text(comment.vendor) || bytes.size() < at + 4) {
        return std::nullopt;
    }
    const std::uint32_t count = little32(bytes, at);
    at += 4;
    // Each comment takes four bytes at least: a count beyond that is a lie.
    if (count > (bytes.size() - at) / 4) {
        return std::nullopt;
    }
    comment.comments.resize(count);
    for (std::string& line : comment.comments) {
        if (!text(line)) {
            return std::nullopt;
        }
    }
    comment.trailing.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
    return comment;
}

Bytes renderVorbisComment(const VorbisComment& comment) {
    Bytes bytes;
    auto text = [&](const std::string& value) {
        putLittle32(bytes, static_cast<std::uint32_t>(value.size()));
        bytes.insert(bytes.end(), value.begin(), value.end());
    };
    text(comment.vendor);
    putLittle32(bytes, static_cast<std::uint32_t>(comment.comments.size()));
    for (const std::string& line : comment.comments) {
        text(line);
    }
    bytes.insert(bytes.end(), comment.trailing.begin(), comment.trailing.end());
    return bytes;
}

std::string commentName(const std::string& comment) {
    const std::size_t equals = comment.find('=');
    if (equals == std::string::npos) {
        return "";
    }
    std::string name = comment.substr(0, equals);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return name;
}

} // namespace sorvane
