#include "seam/text_escape.hpp"

#include <cstddef>
#include <cstdio>

namespace sorvane {

namespace {

// The length of the well-formed UTF-8 sequence at `at` of a character XML
// allows, or 0 when the bytes there are no such thing.
std::size_t characterLength(const std::string& text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r' ? 1 : 0;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size()) {
        return 0;
    }
    char32_t code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    const char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid = code >= shortest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF) &&
                       code != 0xFFFE && code != 0xFFFF;
    return valid ? length : 0;
}

const char* const kReplacement = "\xEF\xBF\xBD";

// Copies `text` a character at a time: `escape` gives the replacement of a
// well-formed character, or an empty string to keep it; other bytes become U+FFFD.
template <typename Escape> std::string transcribe(const std::string& text, bool controlsAllowed, Escape escape) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = characterLength(text, at);
        const auto lead = static_cast<unsigned char>(text[at]);
        if (length == 0 && controlsAllowed && lead < 0x20) {
            length = 1;
        }
        if (length == 0) {
            out += kReplacement;
            ++at;
            continue;
        }
        const std::string replacement = length == 1 ? escape(text[at]) : std::string();
        if (!replacement.empty()) {
            out += replacement;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out;
}

// Backslash, tab, line feed and carriage return as JSON and TSV both write
// them; an empty string for any other character.
std::string backslashEscape(char ch) {
    switch (ch) {
    case '\\': return "\\\\";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    default: return "";
    }
}

} // namespace

std::string escapeXml(const std::string& text) {
    return transcribe(text, false, [](char ch) -> std::string {
        switch (ch) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        default: return "";
        }
    });
}

std::string quoteJson(const std::string& text) {
    return "\"" + transcribe(text, true, [](char ch) -> std::string {
        if (ch == '"') {
            return "\\\"";
        }
        std::string escaped = backslashEscape(ch);
        if (escaped.empty() && static_cast<unsigned char>(ch) < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(ch));
            escaped = code;
        }
        return escaped;
    }) + "\"";
}

std::string escapeTsv(const std::string& text) {
    return transcribe(text, true, backslashEscape);
}

} // namespace sorvane
