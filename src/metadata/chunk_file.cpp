#include "metadata/chunk_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "audio_io/file_descriptor.hpp"

namespace sorvane {

namespace {

std::optional<std::string> writeAt(int fd, off_t offset, const Bytes& bytes) {
    const int error = writeAllAt(fd, bytes.data(), bytes.size(), offset);
    return error == 0 ? std::nullopt : std::optional<std::string>(systemErrorText(error));
}

void putLittle(Bytes& b, std::uint64_t v, int size) {
    for (int k = 0; k < size; ++k) {
        b.push_back(static_cast<unsigned char>(v >> (8 * k)));
    }
}

enum class Container { Riff, Rf64, Iff };

// How the file at `file` is framed: RIFF and RF64 are little-endian, IFF big.
std::optional<Container> containerOf(const FileReader& file) {
    Bytes head;
    if (file.size() < 12 || file.read(0, 4, head)) {
        return std::nullopt;
    }
    for (const auto& [magic, container] : {std::pair{"RIFF", Container::Riff}, std::pair{"RF64", Container::Rf64},
                                           std::pair{"FORM", Container::Iff}}) {
        if (std::memcmp(head.data(), magic, 4) == 0) {
            return container;
        }
    }
    return std::nullopt;
}

} // namespace

std::uint32_t little32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint32_t big32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | static_cast<std::uint32_t>(b[at + 3]);
}
std::uint16_t big16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]); }
void putBig32(Bytes& b, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        b.push_back(static_cast<unsigned char>(v >> shift));
    }
}
void putBig16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
}

std::vector<Chunk> readChunks(SNDFILE* file, const std::vector<std::string>& skipped, std::uint64_t fileBytes) {
    std::vector<Chunk> chunks;
    for (SF_CHUNK_ITERATOR* it = sf_get_chunk_iterator(file, nullptr); it != nullptr; it = sf_next_chunk_iterator(it)) {
        SF_CHUNK_INFO info{};
        if (sf_get_chunk_size(it, &info) != SF_ERR_NO_ERROR || info.datalen > fileBytes) {
            continue;
        }
        // libsndfile gives a chunk's id only with its data: none of it, first.
        unsigned char none = 0;
        const unsigned length = info.datalen;
        info.datalen = 0;
        info.data = &none;
        if (sf_get_chunk_data(it, &info) != SF_ERR_NO_ERROR) {
            continue;
        }
        Chunk chunk{std::string(info.id, std::min<std::size_t>(info.id_size, 4)), {}};
        if (chunk.id.size() != 4 || std::find(skipped.begin(), skipped.end(), chunk.id) != skipped.end()) {
            continue;
        }
        chunk.data.resize(length);
        info.datalen = length;
        info.data = chunk.data.data();
        if (sf_get_chunk_data(it, &info) == SF_ERR_NO_ERROR) {
            chunks.push_back(std::move(chunk));
        }
    }
    return chunks;
}

std::optional<std::string> FileReader::open(int fd, off_t base) {
    fd_ = fd;
    base_ = base;
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        return systemErrorText(errno);
    }
    size_ = static_cast<std::uint64_t>(std::max<off_t>(0, st.st_size - base));
    return std::nullopt;
}

std::optional<std::string> FileReader::read(std::uint64_t offset, std::size_t count, Bytes& bytes) const {
    bytes.assign(count, 0);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd_, bytes.data() + done, count - done, base_ + static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? systemErrorText(errno) : std::string("the file ended while being read back");
        }
        done += static_cast<std::size_t>(got);
    }
    return std::nullopt;
}

std::optional<std::string> readChunk(const FileReader& file, const char* id, std::optional<Bytes>& payload) {
    payload.reset();
    const std::optional<Container> container = containerOf(file);
    if (!container) {
        return std::nullopt;
    }
    Bytes header;
    for (std::uint64_t at = 12; at + 8 <= file.size();) {
        if (std::optional<std::string> failure = file.read(at, 8, header)) {
            return failure;
        }
        std::uint64_t size = *container == Container::Iff ? big32(header, 4) : little32(header, 4);
        if (*container == Container::Rf64 && std::memcmp(header.data(), "data", 4) == 0 && size == 0xFFFFFFFFU) {
            Bytes ds64;
            if (std::optional<std::string> failure = file.read(20, 16, ds64)) {
                return failure;
            }
            size = little32(ds64, 8) | std::uint64_t{little32(ds64, 12)} << 32; // the data size kept in ds64
        }
        if (std::memcmp(header.data(), id, 4) == 0) {
            if (size <= file.size() - at - 8) {
                payload.emplace();
                return file.read(at + 8, static_cast<std::size_t>(size), *payload);
            }
            return std::nullopt;
        }
        at += 8 + size + (size & 1U);
    }
    return std::nullopt;
}

std::optional<std::string> appendChunks(int fd, off_t base, const std::vector<Chunk>& chunks) {
    if (chunks.empty()) {
        return std::nullopt;
    }
    FileReader file;
    if (std::optional<std::string> failure = file.open(fd, base)) {
        return failure;
    }
    const std::optional<Container> container = containerOf(file);
    if (!container) {
        return std::string("libsndfile wrote no RIFF or IFF file to add chunks to");
    }
    Bytes tail;
    if (file.size() % 2 != 0) {
        tail.push_back(0); // chunks start at even offsets
    }
    for (const Chunk& chunk : chunks) {
        if (chunk.data.size() > 0xFFFFFFFFU) {
            return "the " + chunk.id + " chunk is too large for the file";
        }
        tail.insert(tail.end(), chunk.id.begin(), chunk.id.end());
        const auto size = static_cast<std::uint32_t>(chunk.data.size());
        if (*container == Container::Iff) {
            putBig32(tail, size);
        } else {
            putLittle(tail, size, 4);
        }
        tail.insert(tail.end(), chunk.data.begin(), chunk.data.end());
        if (size % 2 != 0) {
            tail.push_back(0);
        }
    }
    const std::uint64_t total = file.size() + tail.size();
    Bytes size;
    off_t sizeAt = 4;
    if (*container == Container::Rf64) {
        Bytes ds64;
        if (std::optional<std::string> failure = file.read(12, 4, ds64)) {
            return failure;
        }
        if (std::memcmp(ds64.data(), "ds64", 4) != 0) {
            return std::string("libsndfile wrote an RF64 file without its ds64 chunk");
        }
        putLittle(size, total - 8, 8);
        sizeAt = 20;
    } else if (total - 8 > 0xFFFFFFFFU) {
        return std::string("the file would be too large for its chunks");
    } else if (*container == Container::Iff) {
        putBig32(size, static_cast<std::uint32_t>(total - 8));
    } else {
        putLittle(size, total - 8, 4);
    }
    if (std::optional<std::string> failure = writeAt(fd, base + static_cast<off_t>(file.size()), tail)) {
        return failure;
    }
    return writeAt(fd, base + sizeAt, size);
}

} // namespace sorvane
