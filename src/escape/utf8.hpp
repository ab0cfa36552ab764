#pragma once

#include <cstddef>
#include <string>

namespace sorvane::utf8 {

// The length of the well-formed UTF-8 sequence at `at` of a character other
// than a control character, or 0 when the bytes there are no such thing.
std::size_t characterLength(const std::string& text, std::size_t at);

extern const char* const kReplacement; // U+FFFD

// Copies `text` a character at a time: `escape` gives the replacement of a
// one-byte character, or an empty string to keep it; control characters
// pass to `escape` when `controlsAllowed`, else become `controlReplacement`;
// other bytes become U+FFFD.
template <typename Escape>
std::string transcribe(const std::string& text, bool controlsAllowed, Escape escape,
                       const char* controlReplacement = kReplacement) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = characterLength(text, at);
        const auto lead = static_cast<unsigned char>(text[at]);
        const bool control = lead < 0x20 || lead == 0x7F;
        if (length == 0 && control) {
            if (!controlsAllowed) {
                out += controlReplacement;
                ++at;
                continue;
            }
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

} // namespace sorvane::utf8
