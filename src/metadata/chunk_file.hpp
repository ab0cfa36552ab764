#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "files/file_descriptor.hpp"

namespace sorvane {

using Bytes = std::vector<unsigned char>;

// A chunk of a RIFF (WAV, RF64) or IFF (AIFF) file: its four-character id
// and its payload, without the pad byte that may follow it. A payload of up
// to a megabyte is held; a larger one stays in the file it came from and is
// copied from there a block at a time when it is written, so that a chunk of
// hundreds of megabytes costs no memory.
struct Chunk {
    std::string id;
    std::uint64_t size = 0; // of the payload
    Bytes data;             // the payload when held, else its first bytes
    std::shared_ptr<const FileDescriptor> source; // where a payload not held is read from
    std::uint64_t offset = 0;                     // and at what offset

    Chunk() = default;
    Chunk(std::string chunkId, Bytes payload)
        : id(std::move(chunkId)), size(payload.size()), data(std::move(payload)) {}
    bool held() const { return data.size() == size; }
};

// Reads a file at offsets from `base`, through a descriptor it does not own.
class FileReader {
public:
    std::optional<std::string> open(int fd, off_t base);
    std::uint64_t size() const { return size_; }
    // `count` bytes from `offset`, all of them.
    std::optional<std::string> read(std::uint64_t offset, std::size_t count, Bytes& bytes) const;

private:
    int fd_ = -1;
    off_t base_ = 0;
    std::uint64_t size_ = 0;
};

// A chunk as it lies in its file: id, the payload's offset and size.
struct ChunkPlace {
    std::string id;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;   // as much of the payload as the file holds
    bool cutShort = false;    // the header claims more than the file holds
};

// Each chunk of a RIFF, RF64, Wave64 or IFF file in file order, walking the chunk
// headers alone; `visit` returns false to stop. Nothing, or why it failed.
std::optional<std::string> walkChunks(const FileReader& file, const std::function<bool(const ChunkPlace&)>& visit);

// Every chunk of the file behind `fd` (a regular file of `fileBytes`) in
// file order, but those whose ids are in `skipped` (the ones the audio
// library writes itself, and the audio). Empty chunks stay; a chunk cut
// short by the end of the file keeps the bytes it has, none made up.
std::vector<Chunk> readChunks(const std::shared_ptr<const FileDescriptor>& fd, const std::vector<std::string>& skipped);

// The payload of the first chunk named `id`; nothing in `payload` when there is none.
std::optional<std::string> readChunk(const FileReader& file, const char* id, std::optional<Bytes>& payload);

// Adds `chunks` at the end of the closed RIFF, RF64 or IFF file behind `fd`
// (from `base`) in their order, and mends the size in its header to take them in.
std::optional<std::string> appendChunks(int fd, off_t base, const std::vector<Chunk>& chunks);

std::uint32_t big32(const Bytes& b, std::size_t at);
std::uint16_t big16(const Bytes& b, std::size_t at);
std::uint32_t little32(const Bytes& b, std::size_t at);
void putBig32(Bytes& b, std::uint32_t v);
void putBig16(Bytes& b, std::uint16_t v);
void putLittle32(Bytes& b, std::uint32_t v);

} // namespace sorvane
