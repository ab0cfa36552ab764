#include "metadata/chunk_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "files/file_descriptor.hpp"

namespace sorvane {

namespace {

// Payloads up to this size are held; larger ones are copied from their file.
constexpr std::uint64_t kHeldChunkBytes = 1 << 20;
// What is held of a payload that is not: enough to tell a LIST's kind.
constexpr std::size_t kChunkHeadBytes = 16;
constexpr std::size_t kCopyBlockBytes = 1 << 20;

std::optional<std::string> writeAt(int fd, off_t offset, const void* bytes, std::size_t count) {
    const int error = writeAllAt(fd, bytes, count, offset);
    return error == 0 ? std::nullopt : std::optional<std::string>(systemErrorText(error));
}

void putLittle(Bytes& b, std::uint64_t v, int size) {
    for (int k = 0; k < size; ++k) {
        b.push_back(static_cast<unsigned char>(v >> (8 * k)));
    }
}

enum class Container { Riff, Rf64, Iff, Wave64 };

// Wave64 names its chunks by GUIDs; those of RIFF's chunks are the four
// characters followed by these twelve bytes. Sizes are 64-bit and count the
// 24-byte header; chunks start at multiples of eight.
constexpr unsigned char kWave64Suffix[12] = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr unsigned char kWave64Riff[16] = {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11,
                                           0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};

std::uint64_t little64(const Bytes& b, std::size_t at) {
    return little32(b, at) | std::uint64_t{little32(b, at + 4)} << 32;
}

// How the file at `file` is framed: RIFF and RF64 are little-endian, IFF big.
std::optional<Container> containerOf(const FileReader& file) {
    Bytes head;
    if (file.size() >= 40 && !file.read(0, 16, head) && std::memcmp(head.data(), kWave64Riff, 16) == 0) {
        return Container::Wave64;
    }
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
void putLittle32(Bytes& b, std::uint32_t v) { putLittle(b, v, 4); }
void putBig16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
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

std::optional<std::string> walkChunks(const FileReader& file, const std::function<bool(const ChunkPlace&)>& visit) {
    const std::optional<Container> container = containerOf(file);
    if (!container) {
        return std::nullopt;
    }
    Bytes header;
    if (*container == Container::Wave64) {
        for (std::uint64_t at = 40; at + 24 <= file.size();) {
            if (std::optional<std::string> failure = file.read(at, 24, header)) {
                return failure;
            }
            const std::uint64_t size = little64(header, 16);
            if (size < 24) {
                return std::nullopt; // a chunk that claims less than its header: the rest is no chunk
            }
            const bool named = std::memcmp(header.data() + 4, kWave64Suffix, 12) == 0;
            ChunkPlace place{named ? std::string(header.begin(), header.begin() + 4) : std::string("(guid)"), at + 24,
                             size - 24, false};
            if (place.size > file.size() - place.offset) {
                place.size = file.size() - place.offset;
                place.cutShort = true;
            }
            if (!visit(place) || place.cutShort) {
                return std::nullopt;
            }
            at += (size + 7) / 8 * 8;
        }
        return std::nullopt;
    }
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
        ChunkPlace place{std::string(header.begin(), header.begin() + 4), at + 8, size, false};
        if (size > file.size() - at - 8) {
            place.size = file.size() - at - 8;
            place.cutShort = true;
        }
        if (!visit(place) || place.cutShort) {
            return std::nullopt;
        }
        at += 8 + size + (size & 1U);
    }
    return std::nullopt;
}

std::vector<Chunk> readChunks(const std::shared_ptr<const FileDescriptor>& fd, const std::vector<std::string>& skipped) {
    std::vector<Chunk> chunks;
    FileReader file;
    if (file.open(fd->get(), 0)) {
        return chunks;
    }
    static_cast<void>(walkChunks(file, [&](const ChunkPlace& place) {
        if (std::find(skipped.begin(), skipped.end(), place.id) != skipped.end()) {
            return true;
        }
        Chunk chunk;
        chunk.id = place.id;
        chunk.size = place.size;
        const bool held = place.size <= kHeldChunkBytes;
        if (file.read(place.offset, static_cast<std::size_t>(held ? place.size : kChunkHeadBytes), chunk.data)) {
            return false; // unreadable from here on
        }
        if (!held) {
            chunk.source = fd;
            chunk.offset = place.offset;
        }
        chunks.push_back(std::move(chunk));
        return true;
    }));
    return chunks;
}

std::optional<std::string> readChunk(const FileReader& file, const char* id, std::optional<Bytes>& payload) {
    payload.reset();
    std::optional<std::string> failure;
    const std::optional<std::string> walking = walkChunks(file, [&](const ChunkPlace& place) {
        if (place.id != id) {
            return true;
        }
        if (!place.cutShort) {
            payload.emplace();
            failure = file.read(place.offset, static_cast<std::size_t>(place.size), *payload);
        }
        return false;
    });
    return walking ? walking : failure;
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
    // Wave64 readers play its audio on to the file's end: nothing goes after it.
    if (!container || *container == Container::Wave64) {
        return std::string("libsndfile wrote no RIFF or IFF file to add chunks to");
    }
    std::uint64_t at = file.size();
    auto put = [&](const void* bytes, std::size_t count) -> std::optional<std::string> {
        if (std::optional<std::string> failure = writeAt(fd, base + static_cast<off_t>(at), bytes, count)) {
            return failure;
        }
        at += count;
        return std::nullopt;
    };
    static const unsigned char kPad = 0;
    if (at % 2 != 0) { // chunks start at even offsets
        if (std::optional<std::string> failure = put(&kPad, 1)) {
            return failure;
        }
    }
    std::vector<unsigned char> block;
    for (const Chunk& chunk : chunks) {
        if (chunk.size > 0xFFFFFFFFU) {
            return "the " + chunk.id + " chunk is too large for the file";
        }
        Bytes header(chunk.id.begin(), chunk.id.end());
        const auto size = static_cast<std::uint32_t>(chunk.size);
        if (*container == Container::Iff) {
            putBig32(header, size);
        } else {
            putLittle32(header, size);
        }
        if (std::optional<std::string> failure = put(header.data(), header.size())) {
            return failure;
        }
        if (chunk.held()) {
            if (std::optional<std::string> failure = put(chunk.data.data(), chunk.data.size())) {
                return failure;
            }
        } else {
            FileReader source;
            if (!chunk.source) {
                return "the " + chunk.id + " chunk has no source to copy from";
            }
            if (std::optional<std::string> failure = source.open(chunk.source->get(), 0)) {
                return failure;
            }
            for (std::uint64_t done = 0; done < chunk.size;) {
                const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyBlockBytes, chunk.size - done));
                if (std::optional<std::string> failure = source.read(chunk.offset + done, count, block)) {
                    return "reading the " + chunk.id + " chunk again: " + *failure;
                }
                if (std::optional<std::string> failure = put(block.data(), count)) {
                    return failure;
                }
                done += count;
            }
        }
        if (size % 2 != 0) {
            if (std::optional<std::string> failure = put(&kPad, 1)) {
                return failure;
            }
        }
    }
    const std::uint64_t total = at;
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
    return writeAt(fd, base + sizeAt, size.data(), size.size());
}

} // namespace sorvane
