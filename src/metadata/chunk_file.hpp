#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <sndfile.h>

namespace sorvane {

using Bytes = std::vector<unsigned char>;

// A chunk of a RIFF (WAV, RF64) or IFF (AIFF) file: its four-character id
// and its payload, without the pad byte that may follow it.
struct Chunk {
    std::string id;
    Bytes data;
};

// Every chunk of the open file as libsndfile's chunk iterator lists it, in
// file order, but those whose ids are in `skipped` (the ones libsndfile
// writes itself, and the audio), whose payload is never read, and those
// that claim more than the `fileBytes` the whole file holds.
std::vector<Chunk> readChunks(SNDFILE* file, const std::vector<std::string>& skipped, std::uint64_t fileBytes);

// Reads the file behind a finished output's descriptor, at offsets from `base`.
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

// The payload of the first chunk named `id` of a RIFF, RF64 or IFF file,
// walking the chunk headers so that only they and that payload are read.
// Nothing in `payload` when there is none.
std::optional<std::string> readChunk(const FileReader& file, const char* id, std::optional<Bytes>& payload);

// Adds `chunks` at the end of the closed RIFF, RF64 or IFF file behind `fd`
// (from `base`) and mends the size in its header to take them in: for
// chunks libsndfile cannot write as they are.
std::optional<std::string> appendChunks(int fd, off_t base, const std::vector<Chunk>& chunks);

std::uint32_t big32(const Bytes& b, std::size_t at);
std::uint16_t big16(const Bytes& b, std::size_t at);
std::uint32_t little32(const Bytes& b, std::size_t at);
void putBig32(Bytes& b, std::uint32_t v);
void putBig16(Bytes& b, std::uint16_t v);

} // namespace sorvane
