#include "instrument/key_map.hpp"

#include <algorithm>
#include <numeric>
#include <set>

namespace sorvane {

namespace {

constexpr int kMostKeysBeyond = 12;

} // namespace

std::vector<KeyZone> mapKeys(const std::vector<PlacedNote>& notes) {
    const std::set<int> roots = [&] {
        std::set<int> all;
        for (const PlacedNote& note : notes) {
            all.insert(note.root);
        }
        return all;
    }();
    std::vector<KeyZone> zones(notes.size());
    for (std::size_t i = 0; i < notes.size(); ++i) {
        const int root = notes[i].root;
        const auto at = roots.find(root);
        const bool lowest = at == roots.begin();
        const bool highest = std::next(at) == roots.end();
        zones[i].lowKey = lowest ? std::max(0, root - kMostKeysBeyond) : (*std::prev(at) + root) / 2 + 1;
        zones[i].highKey = highest ? std::min(127, root + kMostKeysBeyond) : (root + *std::next(at)) / 2;
    }
    for (const int root : roots) {
        std::vector<std::size_t> layer;
        for (std::size_t i = 0; i < notes.size(); ++i) {
            if (notes[i].root == root) {
                layer.push_back(i);
            }
        }
        std::stable_sort(layer.begin(), layer.end(),
                         [&](std::size_t a, std::size_t b) { return notes[a].loudnessDb < notes[b].loudnessDb; });
        const auto count = static_cast<int>(layer.size());
        for (int k = 0; k < count; ++k) {
            KeyZone& zone = zones[layer[static_cast<std::size_t>(k)]];
            zone.lowVelocity = k == 0 ? 1 : 127 * k / count + 1;
            zone.highVelocity = 127 * (k + 1) / count;
        }
    }
    return zones;
}

} // namespace sorvane
