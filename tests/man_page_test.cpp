// The manual must list every message the program prints, as it prints it.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
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

// The DIAGNOSTICS section of a page as a reader sees it, on lines long
// enough never to wrap.
std::string renderedDiagnostics(const std::string& page) {
    const Output rendered = runShell("groff -man -Tascii -P-cbou -rLL=2000n '" +
                                     (kSource / "man" / page).string() + "' 2>&1");
    EXPECT_EQ(rendered.status, 0) << rendered.out;
    const std::size_t start = rendered.out.find("DIAGNOSTICS");
    const std::size_t end = rendered.out.find("EXAMPLES", start);
    EXPECT_NE(start, std::string::npos);
    return collapseBlanks(rendered.out.substr(start, end - start));
}

// A function's definition, from its signature to its closing brace.
std::string definitionOf(const std::string& code, const std::string& signature) {
    const std::size_t start = code.find(signature);
    EXPECT_NE(start, std::string::npos) << signature;
    return start == std::string::npos ? "" : code.substr(start, code.find("\n}\n", start) - start);
}

// The string literals in a piece of C++ code, escapes resolved.
std::vector<std::string> stringLiterals(const std::string& code) {
    std::vector<std::string> literals;
    for (std::size_t at = code.find('"'); at != std::string::npos; at = code.find('"', at + 1)) {
        std::string text;
        for (++at; at < code.size() && code[at] != '"'; ++at) {
            if (code[at] == '\\' && at + 1 < code.size()) {
                ++at;
                text += code[at] == 'n' ? '\n' : code[at];
            } else {
                text += code[at];
            }
        }
        literals.push_back(text);
    }
    return literals;
}

// Every piece of text written to the error stream by `code`: the string
// literals of each `err << ...;` statement, split at line ends.
std::vector<std::string> messagePieces(const std::string& code) {
    std::vector<std::string> pieces;
    for (std::size_t at = code.find("err <<"); at != std::string::npos; at = code.find("err <<", at + 1)) {
        for (const std::string& text : stringLiterals(code.substr(at, code.find(';', at) - at))) {
            std::istringstream lines(text);
            for (std::string line; std::getline(lines, line);) {
                line = collapseBlanks(line);
                // Leading and trailing blanks join a piece to a value printed beside it.
                line.erase(0, line.find_first_not_of(' '));
                line.erase(line.find_last_not_of(' ') + 1);
                if (!line.empty()) {
                    pieces.push_back(line);
                }
            }
        }
    }
    return pieces;
}

void expectAllListed(const std::vector<std::string>& pieces, const std::string& page) {
    const std::string diagnostics = renderedDiagnostics(page);
    for (const std::string& piece : pieces) {
        EXPECT_NE(diagnostics.find(piece), std::string::npos)
            << "not in DIAGNOSTICS of " << page << ": \"" << piece << "\"";
    }
}

const std::string kAudioIo = readFile(kSource / "src/audio_io/audio_io.cpp");
const std::string kReading = definitionOf(kAudioIo, "std::optional<OpenInput> openInputAudio(") +
                             definitionOf(kAudioIo, "std::optional<AudioInput> readInputAudio(OpenInput");
const std::vector<std::string> kReportPieces = messagePieces(readFile(kSource / "src/cli/report.cpp"));
const std::vector<std::string> kOptionPieces = messagePieces(readFile(kSource / "src/cli/options.cpp"));

TEST(ManPage, FormatWithoutWarnings) {
    for (const char* page : {"sorvane.1", "sorvane-seam.1", "sorvane-sustain.1", "sorvane-instrument.1"}) {
        const Output check = runShell("groff -man -ww -z '" + (kSource / "man" / page).string() + "' 2>&1");
        EXPECT_EQ(check.status, 0) << page;
        EXPECT_EQ(check.out, "") << page;
    }
}

TEST(ManPage, SorvaneDiagnosticsListEveryMessageOfTheProgram) {
    std::vector<std::string> pieces = messagePieces(readFile(kSource / "src/sorvane/run.cpp"));
    const std::vector<std::string> io = messagePieces(kAudioIo);
    pieces.insert(pieces.end(), io.begin(), io.end());
    pieces.insert(pieces.end(), kReportPieces.begin(), kReportPieces.end());
    // Usage, mode, percentage, channel, read, write and zero-crossing
    // messages: far more than a handful, or the scan broke.
    ASSERT_GE(pieces.size(), 15u);
    expectAllListed(pieces, "sorvane.1");
}

// The companions read their input through readInputAudio and print their
// own messages besides.
class CompanionManPage : public ::testing::TestWithParam<const char*> {};

TEST_P(CompanionManPage, DiagnosticsListEveryMessageOfTheProgram) {
    const std::string program = GetParam();
    std::vector<std::string> pieces = messagePieces(readFile(kSource / "src" / program / "run.cpp"));
    if (program == "sorvane-sustain") {
        // Its note is looped and written by the code it shares with sorvane-instrument.
        const std::vector<std::string> note = messagePieces(readFile(kSource / "src/sustain/looped_note.cpp"));
        pieces.insert(pieces.end(), note.begin(), note.end());
    }
    const std::vector<std::string> reading = messagePieces(kReading);
    ASSERT_GE(reading.size(), 5u);
    pieces.insert(pieces.end(), reading.begin(), reading.end());
    pieces.insert(pieces.end(), kReportPieces.begin(), kReportPieces.end());
    pieces.insert(pieces.end(), kOptionPieces.begin(), kOptionPieces.end());
    ASSERT_GE(pieces.size(), 12u);
    expectAllListed(pieces, program + ".1");
}

INSTANTIATE_TEST_SUITE_P(Programs, CompanionManPage, ::testing::Values("sorvane-seam", "sorvane-sustain", "sorvane-instrument"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             std::string name = param.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

} // namespace
