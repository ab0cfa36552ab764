#pragma once

#include <cstddef>
#include <vector>

namespace sorvane {

// Where a sample plays: the keys and velocities it answers.
struct KeyZone {
    int lowKey = 0;
    int highKey = 127;
    int lowVelocity = 1;
    int highVelocity = 127;
};

// One sample to place: its root key and how loud it is.
struct PlacedNote {
    int root = 60;
    double loudnessDb = 0.0;
};

// Each root covers the keys nearer to it than to its neighbours (a key
// halfway between two goes to the lower), the lowest and highest reaching
// at most an octave beyond their roots; samples sharing a root split the
// velocities 1 to 127 evenly, quietest lowest (equal loudness keeps their
// order). The zones come back in the order of `notes`.
std::vector<KeyZone> mapKeys(const std::vector<PlacedNote>& notes);

} // namespace sorvane
