#include <cstdio>

#include "escape/escape.hpp"
#include "escape/utf8.hpp"

namespace sorvane {

namespace {

std::string quote(const std::string& text, bool forScript) {
    return "\"" + utf8::transcribe(text, true, [forScript](char ch) -> std::string {
        switch (ch) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case '\t': return "\\t";
        case '\n': return "\\n";
        case '\r': return "\\r";
        default: break;
        }
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7F || (forScript && (ch == '<' || ch == '>' || ch == '&'))) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(byte));
            return code;
        }
        return "";
    }) + "\"";
}

} // namespace

std::string quoteJson(const std::string& text) { return quote(text, false); }

std::string quoteJsonForScript(const std::string& text) { return quote(text, true); }

} // namespace sorvane
