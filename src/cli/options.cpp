#include "cli/options.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <getopt.h>

#include "cli/report.hpp"

namespace sorvane {

namespace {

std::string nameOf(int argc, const char* const* argv, const CommandLineConventions& conventions) {
    return argc > 0 && argv[0] != nullptr ? argv[0] : conventions.program;
}

} // namespace

void printUsage(std::ostream& err, int argc, const char* const* argv, const CommandLineConventions& conventions) {
    err << "Usage: " << nameOf(argc, argv, conventions) << conventions.synopsis << "\n";
}

std::nullopt_t refuseCommandLine(const std::string& message, int argc, const char* const* argv,
                                 const CommandLineConventions& conventions, std::ostream& err, int& status) {
    err << message;
    printUsage(err, argc, argv, conventions);
    status = conventions.usageStatus;
    return std::nullopt;
}

std::optional<ParsedCommandLine> parseCommandLine(int argc, const char* const* argv,
                                                  const std::vector<KnownOption>& options,
                                                  const CommandLineConventions& conventions, std::ostream& out,
                                                  std::ostream& err, int& status) {
    status = conventions.usageStatus;
    // After the message on `err`: the usage line, and the run ends.
    auto mistake = [&]() {
        printUsage(err, argc, argv, conventions);
        return std::nullopt;
    };
    // getopt_long reorders the vector it is given (options first), never the strings.
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(const_cast<char*>(argv[i]));
    }
    args.push_back(nullptr);
    if (args.size() == 1) {
        args.insert(args.begin(), const_cast<char*>(conventions.program.c_str()));
    }
    // ':' first: a missing value is told apart from an unknown option, and
    // getopt prints nothing of its own.
    std::string letters = ":h";
    std::vector<option> table;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const KnownOption& known = options[i];
        table.push_back({known.name, known.takesValue ? required_argument : no_argument, nullptr,
                         static_cast<int>(256 + i)});
        if (known.letter != '\0') {
            letters += known.letter;
            letters += known.takesValue ? ":" : "";
        }
    }
    const int helpCode = static_cast<int>(256 + options.size());
    table.push_back({"help", no_argument, nullptr, helpCode});
    table.push_back({"version", no_argument, nullptr, helpCode + 1});
    table.push_back({nullptr, 0, nullptr, 0});

    ParsedCommandLine parsed;
    opterr = 0;
    optind = 0; // from the start, whatever an earlier parse left
    const int count = static_cast<int>(args.size() - 1);
    for (int code = 0; (code = getopt_long(count, args.data(), letters.c_str(), table.data(), nullptr)) != -1;) {
        // The argument getopt was at: for a value taken from the next
        // argument, the one before that.
        const std::string at = optind > 0 && optind <= count ? args[static_cast<std::size_t>(optind - 1)] : "";
        if (code == 'h' || code == helpCode) {
            conventions.help(out, nameOf(argc, argv, conventions));
            status = flushReport(out, err) ? 0 : conventions.usageStatus;
            return std::nullopt;
        }
        if (code == helpCode + 1) {
            out << conventions.program << " " << SORVANE_VERSION << "\n";
            status = flushReport(out, err) ? 0 : conventions.usageStatus;
            return std::nullopt;
        }
        if (code == ':') {
            err << "Error: option " << at << " needs a value.\n";
            return mistake();
        }
        if (code == '?') {
            const std::string text = optopt >= 256 || at.rfind("--", 0) == 0 ? at : "-" + std::string(1, static_cast<char>(optopt));
            if (optopt >= 256 && text.find('=') != std::string::npos) {
                err << "Error: option " << text.substr(0, text.find('=')) << " takes no value.\n";
                return mistake();
            }
            err << "Error: unknown option \"" << text << "\".\n";
            return mistake();
        }
        std::size_t index = 0;
        if (code >= 256) {
            index = static_cast<std::size_t>(code - 256);
        } else {
            while (options[index].letter != static_cast<char>(code)) {
                ++index;
            }
        }
        parsed.options.push_back({options[index].name, options[index].takesValue ? optarg : ""});
    }
    for (int i = optind; i < count; ++i) {
        parsed.operands.push_back(args[static_cast<std::size_t>(i)]);
    }
    return parsed;
}

std::optional<double> parseNonNegative(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(value) || value < 0.0) {
        return std::nullopt;
    }
    return value;
}

} // namespace sorvane
