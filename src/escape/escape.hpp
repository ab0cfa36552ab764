#pragma once

#include <string>

namespace sorvane {

// Names and tags are bytes, not text: these put any of them into a file of
// another language so that the result stays well formed and says no more
// than the text did. Bytes that are no UTF-8, and control characters the
// language cannot hold, become U+FFFD (or a space, where noted). Each
// language has its own file beside this one.

// Text as UTF-8: kept where it is valid UTF-8, else read as Latin-1, the
// encoding of RIFF INFO and ID3v1 writers (Windows-1252 alike for every
// letter), so that a tag reaches every writer as the text it meant.
std::string utf8FromTag(const std::string& bytes);
bool isValidUtf8(const std::string& bytes);

// For XML and HTML text and attribute values (SVG, the audition page).
std::string escapeXml(const std::string& text);

// A JSON string literal, quotes included.
std::string quoteJson(const std::string& text);

// The same, safe inside an HTML <script> element as well: '<', '>' and '&'
// are written as \u escapes, so that neither "</script>" nor "<!--" can end
// or bend the element.
std::string quoteJsonForScript(const std::string& text);

// A field of tab-separated values: backslash, tab, line feed and carriage
// return written as \\, \t, \n and \r.
std::string escapeTsv(const std::string& text);

// A value or comment on one line of an SFZ file, which has no escapes: line
// breaks and other control characters become spaces, so that nothing a name
// holds can start a header or an opcode of its own.
std::string sfzText(const std::string& text);

// A name in a SoundFont, whose text fields are ASCII: any other byte, and
// control characters, become '_'.
std::string sf2Text(const std::string& text);

} // namespace sorvane
