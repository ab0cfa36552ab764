#pragma once

#include <optional>
#include <string>

namespace sorvane {

// The MIDI note a sample's file name gives, if it gives one: a note name as
// a word of its own (C4 = 60, F#3, Db5, C-1 = 0; "s" for sharp as in Cs4),
// else a number of two or three digits from 12 to 127 as a word of its own
// (piano_060_mf). Words are separated by anything but letters, digits and
// '#'. Of several note names the last counts; of several numbers, the first
// (names such as NAME_NOTE_VELOCITY put the note first).
std::optional<int> noteOfName(const std::string& stem);

} // namespace sorvane
