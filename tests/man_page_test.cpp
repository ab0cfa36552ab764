// The manual must list every message the program prints, as it prints it.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

const fs::path kSource = SORVANE_SOURCE_DIR;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Output {
    std::string out;
    int status = -1;
};

Output runShell(const std::string& command) {
    Output result;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return result;
    }
    std::array<char, 4096> buffer{};
    std::size_t got = 0;
    while ((got = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
        result.out.append(buffer.data(), got);
    }
    result.status = pclose(pipe.release());
    return result;
}

std::string collapseBlanks(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const bool blank = ch == ' ' || ch == '\n' || ch == '\t';
        if (blank && (out.empty() || out.back() == ' ')) {
            continue;
        }
        out += blank ? ' ' : ch;
    }
    return out;
}

// The DIAGNOSTICS section as a reader sees it, on lines long enough never to wrap.
std::string renderedDiagnostics() {
    const Output page = runShell("groff -man -Tascii -P-cbou -rLL=2000n '" +
                                 (kSource / "man/sorvane.1").string() + "' 2>&1");
    EXPECT_EQ(page.status, 0) << page.out;
    const std::size_t start = page.out.find("DIAGNOSTICS");
    const std::size_t end = page.out.find("EXAMPLES", start);
    EXPECT_NE(start, std::string::npos);
    return collapseBlanks(page.out.substr(start, end - start));
}

// Every piece of text written to the error stream by the program's sources:
// the string literals of each `err << ...;` statement, split at line ends.
std::vector<std::string> messagePieces() {
    std::vector<std::string> pieces;
    const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
    for (const auto& entry : fs::recursive_directory_iterator(kSource / "src")) {
        if (entry.path().extension() != ".cpp") {
            continue;
        }
        const std::string code = readFile(entry.path());
        for (std::size_t at = code.find("err <<"); at != std::string::npos; at = code.find("err <<", at + 1)) {
            const std::string statement = code.substr(at, code.find(';', at) - at);
            for (auto it = std::sregex_iterator(statement.begin(), statement.end(), literal);
                 it != std::sregex_iterator(); ++it) {
                std::string text = (*it)[1].str();
                text = std::regex_replace(text, std::regex(R"(\\")"), "\"");
                std::istringstream lines(std::regex_replace(text, std::regex(R"(\\n)"), "\n"));
                for (std::string line; std::getline(lines, line);) {
                    line = collapseBlanks(line);
                    if (!line.empty() && line != " ") {
                        pieces.push_back(line);
                    }
                }
            }
        }
    }
    return pieces;
}

TEST(ManPage, FormatsWithoutWarnings) {
    const Output check = runShell("groff -man -ww -z '" + (kSource / "man/sorvane.1").string() + "' 2>&1");
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, "");
}

TEST(ManPage, DiagnosticsListEveryMessageOfTheProgram) {
    const std::string diagnostics = renderedDiagnostics();
    const std::vector<std::string> pieces = messagePieces();
    // The usage text, the mode, percentage, channel, read, write and
    // zero-crossing messages: far more than a handful, or the scan broke.
    ASSERT_GE(pieces.size(), 15u);
    for (std::string piece : pieces) {
        // Leading and trailing blanks join the piece to a value printed beside it.
        piece.erase(0, piece.find_first_not_of(' '));
        piece.erase(piece.find_last_not_of(' ') + 1);
        EXPECT_NE(diagnostics.find(piece), std::string::npos) << "not in DIAGNOSTICS: \"" << piece << "\"";
    }
}

} // namespace
