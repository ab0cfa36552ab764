#pragma once

#include <optional>
#include <string>
#include <vector>

#include "instrument/instrument.hpp"

namespace sorvane {

// Writes the instrument as a SoundFont 2.04 bank to the file descriptor
// `fd`: one preset of one instrument, a zone per sample and channel (a
// stereo note as a linked left and right sample panned apart), each with its
// key and velocity range, root key, pitch correction, sustain loop (sample
// mode 3: the loop while the key is held, then the rest of the sample) and
// release; 24-bit notes keep their lowest byte in the sm24 chunk. `words`
// holds each sample's frames, in the order of instrument.samples. Nothing on
// success, else why it could not be written.
std::optional<std::string> writeSoundFont(int fd, const Instrument& instrument, const std::vector<SampleWords>& words,
                                          const std::string& software);

} // namespace sorvane
