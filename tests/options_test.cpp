#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/options.hpp"

namespace sorvane {
namespace {

struct ParseCase {
    std::vector<const char*> args; // after the program's name
    int status;                    // when the run ends in the parser, else -1
    std::string parsed;            // options as name=value, then "|" and the operands
    std::string out;
    std::string err;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    for (const char* a : c.args) {
        *os << a << ' ';
    }
}

class ParseCommandLine : public ::testing::TestWithParam<ParseCase> {};

const std::string kUsage = "Usage: prog [options] FILE...\n";

TEST_P(ParseCommandLine, FollowsTheUnixConventions) {
    const ParseCase& c = GetParam();
    std::vector<const char*> argv = {"prog"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const CommandLineConventions conventions{
        "tool", " [options] FILE...", [](std::ostream& out, const std::string& name) { out << "help for " << name << "\n"; },
        7};
    std::ostringstream out;
    std::ostringstream err;
    int status = -1;
    const std::optional<ParsedCommandLine> parsed =
        parseCommandLine(static_cast<int>(argv.size()), argv.data(),
                         {{"length", 'l', true}, {"quiet", 'q'}, {"sfz", '\0', true}}, conventions, out, err, status);
    std::string seen;
    if (parsed) {
        for (const ParsedOption& o : parsed->options) {
            seen += o.name + "=" + o.value + " ";
        }
        seen += "|";
        for (const std::string& operand : parsed->operands) {
            seen += " " + operand;
        }
    }
    EXPECT_EQ(parsed ? -1 : status, c.status);
    EXPECT_EQ(seen, c.parsed);
    EXPECT_EQ(out.str(), c.out);
    EXPECT_EQ(err.str(), c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseCommandLine,
    ::testing::Values(
        ParseCase{{"--length=30", "a", "--sfz", "x.sfz", "b"}, -1, "length=30 sfz=x.sfz | a b", "", ""},
        ParseCase{{"-l", "5", "-q", "a"}, -1, "length=5 quiet= | a", "", ""},
        ParseCase{{"-l5", "-"}, -1, "length=5 | -", "", ""},
        ParseCase{{"--", "--quiet", "-l"}, -1, "| --quiet -l", "", ""},
        ParseCase{{"--len", "2", "a"}, -1, "length=2 | a", "", ""}, // a unique abbreviation, as GNU tools take
        ParseCase{{"a", "-h", "--bogus"}, 0, "", "help for prog\n", ""},
        ParseCase{{"--version"}, 0, "", "tool " SORVANE_VERSION "\n", ""},
        ParseCase{{"--bogus", "a"}, 7, "", "", "Error: unknown option \"--bogus\".\n" + kUsage},
        ParseCase{{"-x"}, 7, "", "", "Error: unknown option \"-x\".\n" + kUsage},
        ParseCase{{"a", "--sfz"}, 7, "", "", "Error: option --sfz needs a value.\n" + kUsage},
        ParseCase{{"--quiet=yes"}, 7, "", "", "Error: option --quiet takes no value.\n" + kUsage}));

} // namespace
} // namespace sorvane
