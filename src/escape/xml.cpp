#include "escape/escape.hpp"
#include "escape/utf8.hpp"

namespace sorvane {

std::string escapeXml(const std::string& text) {
    // XML 1.0 allows tab, line feed and carriage return among the controls.
    return utf8::transcribe(text, true, [](char ch) -> std::string {
        switch (ch) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        case '\'': return "&#39;";
        case '\t': return "&#9;";
        case '\n': return "&#10;";
        case '\r': return "&#13;";
        default: return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F ? utf8::kReplacement : "";
        }
    });
}

} // namespace sorvane
