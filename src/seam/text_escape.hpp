#pragma once

#include <string>

namespace sorvane {

// File names are bytes, not text: these put any of them into a report or a
// picture so that the result stays well formed. Bytes that are no UTF-8,
// and control characters the format cannot hold, become U+FFFD.

// For XML text and attribute values.
std::string escapeXml(const std::string& text);

// A JSON string literal, quotes included.
std::string quoteJson(const std::string& text);

// A field of tab-separated values: backslash, tab, line feed and carriage
// return written as \\, \t, \n and \r.
std::string escapeTsv(const std::string& text);

} // namespace sorvane
