#include "escape/escape.hpp"
#include "escape/utf8.hpp"

namespace sorvane {

std::string sfzText(const std::string& text) {
    return utf8::transcribe(text, false, [](char) { return std::string(); }, " ");
}

} // namespace sorvane
