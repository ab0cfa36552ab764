#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "metadata/chunk_file.hpp"

namespace sorvane {

// The metadata blocks of a FLAC stream, written by hand: libFLAC's chain
// writer grows the metadata only through a second file of its own, and
// hands no block over as the bytes it was read from, while the layout is a
// four-byte header before each block's bytes.
enum FlacBlockType : unsigned {
    kFlacStreamInfo = 0,
    kFlacPadding = 1,
    kFlacApplication = 2,
    kFlacSeekTable = 3,
    kFlacVorbisComment = 4,
    kFlacCueSheet = 5,
    kFlacPicture = 6,
};

struct FlacBlock {
    unsigned type = 0;
    Bytes data;
};

struct FlacMetadata {
    Bytes id3v2; // ID3v2 tags before the stream, as the file holds them
    std::vector<FlacBlock> blocks;
    std::uint64_t audioOffset = 0; // where the first frame starts
};

// The metadata of the FLAC file `file`; nothing when it is no FLAC file.
std::optional<FlacMetadata> readFlacMetadata(const FileReader& file);

// Replaces the metadata of the FLAC file behind `fd` (from `base`), which
// starts its frames at `oldAudioOffset`, with `metadata`'s ID3v2 tags and
// blocks, moving the frames a block at a time. Nothing, or why it failed.
std::optional<std::string> rewriteFlacMetadata(int fd, off_t base, std::uint64_t oldAudioOffset,
                                               const FlacMetadata& metadata);

} // namespace sorvane
