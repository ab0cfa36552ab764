#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace sorvane {

// One option of a companion program: --name, or -c where it has a letter,
// with a value when `takesValue` (--name VALUE, --name=VALUE, -c VALUE, -cVALUE).
struct KnownOption {
    const char* name;
    char letter = '\0';
    bool takesValue = false;
};

struct ParsedOption {
    std::string name; // as in its KnownOption
    std::string value;
};

struct ParsedCommandLine {
    std::vector<ParsedOption> options; // in the order given
    std::vector<std::string> operands; // after, before or between the options; all after "--"
};

// What the companions share on their command lines: -h and --help print the
// help to standard output and end the run with status 0, --version prints
// "<program> <version>", and a mistake ends it with `usageStatus` after a
// message and the usage line on standard error.
struct CommandLineConventions {
    std::string program;  // the name in --version, and in the usage line without an argv[0]
    std::string synopsis; // the usage line after the name: " [options] IN OUT"
    std::function<void(std::ostream&, const std::string& name)> help;
    int usageStatus = 1;
};

// Parses argv with getopt_long. Nothing when the run ends here (help,
// version or a mistake), with `status` set to its exit status.
std::optional<ParsedCommandLine> parseCommandLine(int argc, const char* const* argv,
                                                  const std::vector<KnownOption>& options,
                                                  const CommandLineConventions& conventions, std::ostream& out,
                                                  std::ostream& err, int& status);

// A non-negative finite number, all of `text`; nothing otherwise.
std::optional<double> parseNonNegative(const std::string& text);

// The usage line, for mistakes found after parsing: "Usage: <name><synopsis>".
void printUsage(std::ostream& err, int argc, const char* const* argv, const CommandLineConventions& conventions);

// A mistake found after parsing: `message` (it may be empty) and the usage
// line on `err`, and `status` set as for any mistake. Returns nothing, for
// the parser to return.
std::nullopt_t refuseCommandLine(const std::string& message, int argc, const char* const* argv,
                                 const CommandLineConventions& conventions, std::ostream& err, int& status);

} // namespace sorvane
