#include "escape/escape.hpp"
#include "escape/utf8.hpp"

namespace sorvane {

std::string escapeTsv(const std::string& text) {
    return utf8::transcribe(text, true, [](char ch) -> std::string {
        switch (ch) {
        case '\\': return "\\\\";
        case '\t': return "\\t";
        case '\n': return "\\n";
        case '\r': return "\\r";
        default: return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F ? utf8::kReplacement : "";
        }
    });
}

} // namespace sorvane
