// Names and tags into each output language: hostile text stays text of that
// language, with nothing of its own that could end an element, a string or
// a line, and every byte that is no UTF-8 shown as U+FFFD.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "escape/escape.hpp"

namespace sorvane {
namespace {

const std::vector<std::string> kHostile = {
    "take\"quoted\"",      "line\nfeed\r\n",       "take<!--<script>.wav", "</script><script>alert(1)</script>",
    "]]><x/>",             "tab\there",            "latin \xE9t\xE9",      "cut \xE2\x82",
    "nul\x01\x1F\x7F end", "\xEF\xBB\xBF" "bom",   "& &amp; '",            "\\back\\slash"};

bool validUtf8WithoutControls(const std::string& text, const std::string& allowed) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 || byte == 0x7F) && allowed.find(c) == std::string::npos) {
            return false;
        }
    }
    return isValidUtf8(text);
}

TEST(Escape, XmlHoldsNoMarkupOfItsOwn) {
    for (const std::string& text : kHostile) {
        const std::string escaped = escapeXml(text);
        EXPECT_EQ(escaped.find_first_of("<>\"'"), std::string::npos) << escaped;
        EXPECT_TRUE(validUtf8WithoutControls(escaped, "")) << escaped;
        for (std::size_t at = escaped.find('&'); at != std::string::npos; at = escaped.find('&', at + 1)) {
            EXPECT_NE(escaped.find(';', at), std::string::npos) << escaped; // every & starts a reference
        }
    }
    EXPECT_EQ(escapeXml("a<b & \"c\"\n"), "a&lt;b &amp; &quot;c&quot;&#10;");
}

TEST(Escape, JsonForAScriptCannotEndTheScript) {
    for (const std::string& text : kHostile) {
        for (const std::string& quoted : {quoteJson(text), quoteJsonForScript(text)}) {
            EXPECT_TRUE(validUtf8WithoutControls(quoted, "")) << quoted;
            ASSERT_GE(quoted.size(), 2u);
            const std::string inner = quoted.substr(1, quoted.size() - 2);
            for (std::size_t at = 0; at < inner.size(); ++at) {
                EXPECT_FALSE(inner[at] == '"' && (at == 0 || inner[at - 1] != '\\')) << quoted;
                if (inner[at] == '\\') {
                    ++at; // an escape and what it escapes
                }
            }
        }
        EXPECT_EQ(quoteJsonForScript(text).find_first_of("<>&"), std::string::npos) << quoteJsonForScript(text);
    }
    EXPECT_EQ(quoteJsonForScript("</script><!--\n"), "\"\\u003c/script\\u003e\\u003c!--\\n\"");
    EXPECT_EQ(quoteJson("\xE9"), "\"\xEF\xBF\xBD\"");
}

TEST(Escape, TsvAndSfzStayOnTheirLine) {
    for (const std::string& text : kHostile) {
        EXPECT_TRUE(validUtf8WithoutControls(escapeTsv(text), "")) << escapeTsv(text);
        EXPECT_TRUE(validUtf8WithoutControls(sfzText(text), "")) << sfzText(text);
        for (const char c : sf2Text(text)) {
            EXPECT_TRUE(c >= 0x20 && c < 0x7F) << sf2Text(text);
        }
    }
    EXPECT_EQ(sfzText("pad\n<region> sample=x"), "pad <region> sample=x");
    EXPECT_EQ(escapeTsv("a\tb\\c\n"), "a\\tb\\\\c\\n");
}

// Tags: UTF-8 where they are, else read as Latin-1.
TEST(Escape, TagsBecomeUtf8) {
    EXPECT_EQ(utf8FromTag("\xA9 2024 Caf\xE9"), "\xC2\xA9 2024 Caf\xC3\xA9");
    EXPECT_EQ(utf8FromTag("\xC3\x85se"), "\xC3\x85se");
    EXPECT_EQ(utf8FromTag(""), "");
    EXPECT_EQ(utf8FromTag("cut \xE2\x82"), "cut \xC3\xA2\xC2\x82");
    for (const std::string& text : kHostile) {
        EXPECT_TRUE(isValidUtf8(utf8FromTag(text))) << text;
    }
}

} // namespace
} // namespace sorvane
