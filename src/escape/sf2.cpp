#include "escape/escape.hpp"

namespace sorvane {

std::string sf2Text(const std::string& text) {
    std::string ascii;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        ascii += byte >= 0x20 && byte < 0x7F ? c : '_';
    }
    return ascii;
}

} // namespace sorvane
